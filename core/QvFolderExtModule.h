// The COM module object of the library: its lock count, its identifiers and the class
// table from which DllGetClassObject hands out class factories.
#pragma once

#include <span>

#include "platform/Com.h"

// Type library and AppID of the library.
inline constexpr GUID LIBID_QvFolderExtLib =
    MakeGuid(0x1E7C4A95, 0x3F28, 0x4D6B, 0x8A, 0x0C, 0xB5, 0xF9, 0x2E, 0x6D, 0x7A, 0x13);
inline constexpr GUID APPID_QvFolderExt =
    MakeGuid(0x9A3D6F02, 0x7E45, 0x4B8C, 0xA1, 0xF7, 0x3C, 0x0E, 0x8B, 0x25, 0xD9, 0x4A);
// Resource id of the module's registry script.
inline constexpr UINT IDR_QVFOLDEREXT = 501;

class CQvFolderExtModule : public ComModule {
 public:
  // The classes this library serves, by CLSID. Each class adds its entry where it is
  // defined, so the table grows with the library.
  static std::span<const ClassEntry> ClassTable() noexcept;

  [[nodiscard]] HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
};

// The one module object of the process.
CQvFolderExtModule& QvModule() noexcept;
