# Resources compiled into the product: every string table file res/strings/<langid>.txt
# becomes data of one generated source file, so a new language is added as a file only.
add_executable(qvembedstrings ${PROJECT_SOURCE_DIR}/res/EmbedStrings.cpp)
file(GLOB QV_STRING_TABLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/strings/*.txt)
set(QV_STRINGS_CPP ${CMAKE_CURRENT_BINARY_DIR}/StringTables.cpp)
add_custom_command(
  OUTPUT ${QV_STRINGS_CPP}
  COMMAND qvembedstrings ${QV_STRINGS_CPP} ${QV_STRING_TABLES}
  DEPENDS qvembedstrings ${QV_STRING_TABLES}
  COMMENT "Embedding string tables")
set(QV_RESOURCE_SOURCES ${QV_STRINGS_CPP})
