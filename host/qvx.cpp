// qvx: the file-manager stand-in. It loads libQvFolderExt.so and drives it through its
// exported functions, as the file manager does. Today it reports what the library exports.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Exports.h"

namespace {

// The entry points a file manager and the suite's programs look up in the library, by
// symbol and by the name a reader knows them under.
struct EntryPoint {
  const char* symbol;
  const char* name;
};
const EntryPoint kEntryPoints[] = {
    {"DllGetClassObject", "DllGetClassObject"},
    {"DllCanUnloadNow", "DllCanUnloadNow"},
    {"DllGetVersion", "DllGetVersion"},
    {"DllRegisterServer", "DllRegisterServer"},
    {"DllUnregisterServer", "DllUnregisterServer"},
    {"DllDoEncryptDecrypt", "DllDoEncryptDecrypt"},
    {"DllShellInterface", "DllShellInterface"},
    {"_ZN9CUserData24GetUserSessionTimeOutValEv", "CUserData::GetUserSessionTimeOutVal"},
    {"_ZN9CUserData23SetUserSessionTimeStartEv", "CUserData::SetUserSessionTimeStart"},
    {"_ZN9CUserData23GetUserSessionTimeStartEv", "CUserData::GetUserSessionTimeStart"},
};

void PrintHelp() {
  std::printf(
      "usage: qvx COMMAND [options]\n"
      "\n"
      "The file-manager stand-in of QvFolderExt.\n"
      "\n"
      "commands:\n"
      "  info [--library PATH]   load the library and print its version and entry points\n"
      "  --help                  show this text\n"
      "  --version               show the version of qvx\n"
      "\n"
      "The library is looked up beside qvx unless --library names it.\n"
      "exit codes: 0 success, 1 the library could not be loaded, 2 bad usage\n");
}

std::string DefaultLibraryPath(const char* argv0) {
  std::string self = argv0;
  char resolved[4096];
  const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  if (n > 0) {
    resolved[n] = '\0';
    self = resolved;
  }
  const size_t slash = self.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) +
         "/libQvFolderExt.so";
}

int Info(const std::string& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "qvx: cannot load %s: %s\n", library.c_str(), dlerror());
    std::fprintf(stderr, "qvx: build the project first (scripts/main.sh) or pass --library\n");
    return 1;
  }
  std::printf("library: %s\n", library.c_str());
  using GetVersionFn = HRESULT (*)(DLLVERSIONINFO*);
  if (auto getVersion = reinterpret_cast<GetVersionFn>(dlsym(handle, "DllGetVersion"))) {
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (getVersion(&info) == 0)
      std::printf("version: %u.%u.%u\n", info.dwMajorVersion, info.dwMinorVersion,
                  info.dwBuildNumber);
  }
  std::printf("entry points:\n");
  for (const EntryPoint& entry : kEntryPoints) {
    const bool present = dlsym(handle, entry.symbol) != nullptr;
    std::printf("  %-40s %s\n", entry.name, present ? "exported" : "not yet built");
  }
  dlclose(handle);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("qvx %s\n", QV_PROGRAM_VERSION);
    return 0;
  }
  if (std::strcmp(argv[1], "info") == 0) {
    std::string library = DefaultLibraryPath(argv[0]);
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
        library = argv[++i];
      } else {
        std::fprintf(stderr, "qvx info: unknown option %s (see qvx --help)\n", argv[i]);
        return 2;
      }
    }
    return Info(library);
  }
  std::fprintf(stderr, "qvx: unknown command %s (see qvx --help)\n", argv[1]);
  return 2;
}
