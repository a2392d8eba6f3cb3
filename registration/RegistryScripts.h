// The registry scripts compiled into the library (res/registration/<name>.rgs), by name: the
// resource number of each class's script ("503"), "501" for the AppID and "typelib" for the
// type library's entry.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

struct RegistryScriptResource {
  const char* name;
  const char* text;
  std::size_t size;
};

std::span<const RegistryScriptResource> AllRegistryScripts() noexcept;

// The script named `name`, or an empty view when there is none.
inline std::string_view FindRegistryScript(std::string_view name) noexcept {
  for (const RegistryScriptResource& script : AllRegistryScripts())
    if (name == script.name) return {script.text, script.size};
  return {};
}
