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

# The registry scripts res/registration/<name>.rgs become text resources named <name>. They are
# embedded as bytes at configure time; editing a script configures the build again.
file(GLOB QV_REGISTRY_SCRIPTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/registration/*.rgs)
set(QV_REGISTRY_SCRIPTS_CPP ${CMAKE_CURRENT_BINARY_DIR}/RegistryScripts.cpp)
set(qv_scripts_text "// Generated from res/registration/*.rgs by res/Resources.cmake.\n")
string(APPEND qv_scripts_text "#include \"registration/RegistryScripts.h\"\n\nnamespace {\n")
set(qv_scripts_table "")
foreach(script ${QV_REGISTRY_SCRIPTS})
  get_filename_component(name ${script} NAME_WE)
  string(MAKE_C_IDENTIFIER "k_${name}" symbol)
  file(READ ${script} bytes HEX)
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${bytes}")
  string(APPEND qv_scripts_text "const unsigned char ${symbol}[] = {${bytes}0x00};\n")
  string(APPEND qv_scripts_table
         "    {\"${name}\", reinterpret_cast<const char*>(${symbol}), sizeof ${symbol} - 1},\n")
endforeach()
string(APPEND qv_scripts_text "const RegistryScriptResource kScripts[] = {\n${qv_scripts_table}};\n")
string(APPEND qv_scripts_text "}  // namespace\n\nstd::span<const RegistryScriptResource> ")
string(APPEND qv_scripts_text "AllRegistryScripts() noexcept { return kScripts; }\n")
file(CONFIGURE OUTPUT ${QV_REGISTRY_SCRIPTS_CPP} CONTENT "${qv_scripts_text}")
list(APPEND QV_RESOURCE_SOURCES ${QV_REGISTRY_SCRIPTS_CPP})

# The sharing page, resource type 2110: every file of res/pages serves all languages; the text
# and settings documents of each language are generated from res/dialogs/<langid>.txt.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(GLOB QV_PAGE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/pages/*)
set(QV_PAGE_DOCUMENTS "")
set(QV_PAGE_DOCUMENT_FILES "")
foreach(dialogs ${QV_DIALOG_TEXTS})
  get_filename_component(language ${dialogs} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/pages/${language})
  add_custom_command(
    OUTPUT ${out}/index.xml ${out}/settings.xml
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/page_texts.py ${dialogs}
            --index ${out}/index.xml --settings ${out}/settings.xml
    DEPENDS ${dialogs} ${PROJECT_SOURCE_DIR}/scripts/page_texts.py
    COMMENT "Page texts of language ${language}")
  list(APPEND QV_PAGE_DOCUMENTS ${language}/${out}/index.xml ${language}/${out}/settings.xml)
  list(APPEND QV_PAGE_DOCUMENT_FILES ${out}/index.xml ${out}/settings.xml)
endforeach()
set(QV_PAGES_CPP ${CMAKE_CURRENT_BINARY_DIR}/PageResources.cpp)
string(REPLACE ";" "\\;" qv_page_shared "${QV_PAGE_FILES}")
string(REPLACE ";" "\\;" qv_page_localized "${QV_PAGE_DOCUMENTS}")
add_custom_command(
  OUTPUT ${QV_PAGES_CPP}
  COMMAND ${CMAKE_COMMAND} -DOUT=${QV_PAGES_CPP} "-DSHARED=${qv_page_shared}"
          "-DLOCALIZED=${qv_page_localized}" -P ${PROJECT_SOURCE_DIR}/res/EmbedPages.cmake
  DEPENDS ${QV_PAGE_FILES} ${QV_PAGE_DOCUMENT_FILES} ${PROJECT_SOURCE_DIR}/res/EmbedPages.cmake
  COMMENT "Embedding the sharing page")
list(APPEND QV_RESOURCE_SOURCES ${QV_PAGES_CPP})
