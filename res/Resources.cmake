# Resources compiled into the product: every string table file res/strings/<langid>.txt and
# every dialog text file res/dialogs/<langid>.txt becomes data of one generated source file, so
# a new language is added as files only.
add_executable(qvembedstrings ${PROJECT_SOURCE_DIR}/res/EmbedStrings.cpp)
file(GLOB QV_STRING_TABLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/strings/*.txt)
file(GLOB QV_DIALOG_TEXTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/dialogs/*.txt)
set(QV_STRINGS_CPP ${CMAKE_CURRENT_BINARY_DIR}/StringTables.cpp)
add_custom_command(
  OUTPUT ${QV_STRINGS_CPP}
  COMMAND qvembedstrings ${QV_STRINGS_CPP} ${QV_STRING_TABLES} ${QV_DIALOG_TEXTS}
  DEPENDS qvembedstrings ${QV_STRING_TABLES} ${QV_DIALOG_TEXTS}
  COMMENT "Embedding string tables and dialog texts")
set(QV_RESOURCE_SOURCES ${QV_STRINGS_CPP})
