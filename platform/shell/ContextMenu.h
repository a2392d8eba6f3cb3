// The interfaces through which a file manager drives a context-menu handler: IShellExtInit
// (the selection, as a data object) and IContextMenu (add items to a menu, run one, verbs and
// help texts), with the CMF_*, GCS_* and CMINVOKECOMMANDINFO definitions they use.
#pragma once

#include "platform/Com.h"
#include "platform/Registry.h"
#include "platform/ole/DataObject.h"
#include "platform/ui/Menu.h"

struct ITEMIDLIST;
using LPCITEMIDLIST = const ITEMIDLIST*;

// A command given by number rather than by verb text (the high word of the pointer is 0).
inline constexpr bool IS_INTRESOURCE(std::uintptr_t value) { return (value >> 16) == 0; }
inline LPCSTR MAKEINTRESOURCEA(WORD value) {
  return reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(value));
}

inline constexpr UINT SEVERITY_SUCCESS = 0;
inline constexpr HRESULT MAKE_HRESULT(UINT severity, UINT facility, UINT code) {
  return static_cast<HRESULT>((severity << 31) | (facility << 16) | (code & 0xFFFF));
}

// QueryContextMenu flags.
inline constexpr UINT CMF_NORMAL = 0x00000000;
inline constexpr UINT CMF_DEFAULTONLY = 0x00000001;
inline constexpr UINT CMF_VERBSONLY = 0x00000002;
inline constexpr UINT CMF_EXPLORE = 0x00000004;
inline constexpr UINT CMF_NOVERBS = 0x00000008;
inline constexpr UINT CMF_CANRENAME = 0x00000010;
inline constexpr UINT CMF_NODEFAULT = 0x00000020;
inline constexpr UINT CMF_EXTENDEDVERBS = 0x00000100;

// GetCommandString requests.
inline constexpr UINT GCS_VERBA = 0x00000000;
inline constexpr UINT GCS_HELPTEXTA = 0x00000001;
inline constexpr UINT GCS_VALIDATEA = 0x00000002;
inline constexpr UINT GCS_VERBW = 0x00000004;
inline constexpr UINT GCS_HELPTEXTW = 0x00000005;
inline constexpr UINT GCS_VALIDATEW = 0x00000006;
inline constexpr UINT GCS_UNICODE = 0x00000004;

struct CMINVOKECOMMANDINFO {
  DWORD cbSize;
  DWORD fMask;
  HWND hwnd;
  LPCSTR lpVerb;  // a verb, or MAKEINTRESOURCEA(offset)
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  int nShow;
  DWORD dwHotKey;
  HANDLE hIcon;
};

struct IShellExtInit : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x000214E8, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT Initialize(LPCITEMIDLIST folder, IDataObject* data, HKEY progId) = 0;

 protected:
  ~IShellExtInit() = default;
};

struct IContextMenu : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x000214E4, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                   UINT flags) = 0;
  virtual HRESULT InvokeCommand(CMINVOKECOMMANDINFO* info) = 0;
  // `name` is a char buffer, or a char16_t buffer for the GCS_UNICODE requests; `cchMax`
  // counts characters of that kind.
  virtual HRESULT GetCommandString(UINT_PTR idCmd, UINT type, UINT* reserved, CHAR* name,
                                   UINT cchMax) = 0;

 protected:
  ~IContextMenu() = default;
};

inline constexpr const IID& IID_IShellExtInit = IShellExtInit::kIid;
inline constexpr const IID& IID_IContextMenu = IContextMenu::kIid;
