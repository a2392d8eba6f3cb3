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
