// The module object and its class table.
#include "core/QvFolderExtModule.h"

namespace {

// The class table. Entries are added here as the library's COM classes are built; until
// then every CLSID is answered with CLASS_E_CLASSNOTAVAILABLE.
constexpr ClassEntry kClassTable[] = {
    {nullptr, nullptr},
};

std::span<const ClassEntry> RegisteredClasses() {
  std::span<const ClassEntry> all(kClassTable);
  // The terminating empty entry keeps the array non-empty; it is not a class.
  return all.first(all.size() - 1);
}

}  // namespace

std::span<const ClassEntry> CQvFolderExtModule::ClassTable() noexcept {
  return RegisteredClasses();
}

HRESULT CQvFolderExtModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
  return GetClassObjectFromTable(ClassTable(), this, clsid, riid, ppv);
}

CQvFolderExtModule& QvModule() noexcept {
  static CQvFolderExtModule module;
  return module;
}
