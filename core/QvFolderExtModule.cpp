// The module object and its class table.
#include "core/QvFolderExtModule.h"

#include "base/ClassIds.h"
#include "core/CQvDecryptedFileStore.h"
#include "menu/CQvShellExt.h"
#include "shell/CQvExtractIcon.h"
#include "shell/CQvShellFolder.h"
#include "transfer/CQvDataObject.h"
#include "transfer/CQvDataStream.h"
#include "transfer/CQvDropSource.h"
#include "transfer/CQvDropTarget.h"
#include "transfer/CQvEnumFORMATETC.h"

namespace {

HRESULT CreateShellExt(REFIID riid, void** ppv) {
  return CQvShellExt::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateShellFolder(REFIID riid, void** ppv) {
  return CQvShellFolder::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateExtractIcon(REFIID riid, void** ppv) {
  return CQvExtractIcon::CreateInstance(riid, ppv, &QvModule());
}

// A drop target made by the class factory has no place yet and takes no drop until the folder
// that made it sets one.
HRESULT CreateDropTarget(REFIID riid, void** ppv) {
  return CQvDropTarget::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateDataObject(REFIID riid, void** ppv) {
  return CQvDataObject::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateDataStream(REFIID riid, void** ppv) {
  return CQvDataStream::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateEnumFormatEtc(REFIID riid, void** ppv) {
  return CQvEnumFORMATETC::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateDropSource(REFIID riid, void** ppv) {
  return CQvDropSource::CreateInstance(riid, ppv, &QvModule());
}

HRESULT CreateDecryptedFileStore(REFIID riid, void** ppv) {
  return CQvDecryptedFileStore::CreateInstance(riid, ppv, &QvModule());
}

// The class table. Entries are added here as the library's COM classes are built; a CLSID
// without one is answered with CLASS_E_CLASSNOTAVAILABLE.
constexpr ClassEntry kClassTable[] = {
    {&qvids::CLSID_QvShellExt, CreateShellExt},
    {&qvids::CLSID_QvShellFolder, CreateShellFolder},
    {&qvids::CLSID_QvExtractIcon, CreateExtractIcon},
    {&qvids::CLSID_QvDropTarget, CreateDropTarget},
    {&qvids::CLSID_QvDataObject, CreateDataObject},
    {&qvids::CLSID_QvDataStream, CreateDataStream},
    {&qvids::CLSID_QvEnumFORMATETC, CreateEnumFormatEtc},
    {&qvids::CLSID_QvDropSource, CreateDropSource},
    {&CLSID_QvDecryptedFileStore, CreateDecryptedFileStore},
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
