// The namespace interfaces a file manager drives a folder extension through: IShellFolder,
// IPersist with IPersistFolder(2) and IPersistFile, IEnumIDList and IExtractIconA, with the
// flags they take (SFGAO_*, SHCONTF_*, SHGDN_*, GIL_*) and the STRRET record of display names.
//
// Method order and identifiers are those of Windows. Text a folder hands out in a STRRET is
// UTF-8 (STRRET_CSTR) or UTF-16 allocated with the shell allocator (STRRET_WSTR); StrRetToBufA
// and StrRetToStrA read either back and free what they take over.
#pragma once

#include "platform/Com.h"
#include "platform/WinTypes.h"
#include "platform/shell/ItemIdList.h"
#include "platform/ui/UiTypes.h"

struct IBindCtx;

using SFGAOF = ULONG;
using SHCONTF = DWORD;
using SHGDNF = DWORD;

// Attributes (GetAttributesOf).
inline constexpr SFGAOF SFGAO_CANCOPY = 0x00000001;
inline constexpr SFGAOF SFGAO_CANMOVE = 0x00000002;
inline constexpr SFGAOF SFGAO_CANRENAME = 0x00000010;
inline constexpr SFGAOF SFGAO_CANDELETE = 0x00000020;
inline constexpr SFGAOF SFGAO_HASPROPSHEET = 0x00000040;
inline constexpr SFGAOF SFGAO_DROPTARGET = 0x00000100;
inline constexpr SFGAOF SFGAO_BROWSABLE = 0x08000000;
inline constexpr SFGAOF SFGAO_FOLDER = 0x20000000;
inline constexpr SFGAOF SFGAO_HASSUBFOLDER = 0x80000000;

// Enumeration (EnumObjects).
inline constexpr SHCONTF SHCONTF_FOLDERS = 0x0020;
inline constexpr SHCONTF SHCONTF_NONFOLDERS = 0x0040;
inline constexpr SHCONTF SHCONTF_INCLUDEHIDDEN = 0x0080;

// Display names (GetDisplayNameOf, SetNameOf).
inline constexpr SHGDNF SHGDN_NORMAL = 0x0000;
inline constexpr SHGDNF SHGDN_INFOLDER = 0x0001;
inline constexpr SHGDNF SHGDN_FOREDITING = 0x1000;
inline constexpr SHGDNF SHGDN_FORADDRESSBAR = 0x4000;
inline constexpr SHGDNF SHGDN_FORPARSING = 0x8000;

// The sort column lives in the low 16 bits of CompareIDs' parameter.
inline constexpr LPARAM SHCIDS_COLUMNMASK = 0x0000FFFF;

// Icon locations (GetIconLocation).
inline constexpr UINT GIL_OPENICON = 0x0001;
inline constexpr UINT GIL_FORSHELL = 0x0002;
inline constexpr UINT GIL_DONTCACHE = 0x0010;
inline constexpr UINT GIL_NOTFILENAME = 0x0008;

// STRRET: how a display name comes back.
inline constexpr UINT STRRET_WSTR = 0;
inline constexpr UINT STRRET_OFFSET = 1;
inline constexpr UINT STRRET_CSTR = 2;
// Characters of the inline narrow buffer, terminator included.
inline constexpr std::size_t kStrRetBufferSize = 260;

struct STRRET {
  UINT uType;
  union {
    LPWSTR pOleStr;  // STRRET_WSTR: shell-allocated, freed by whoever reads it
    UINT uOffset;    // STRRET_OFFSET: offset into the first identifier of the item's list
    char cStr[kStrRetBufferSize];
  };
};

// Copies the text of `strret` into `buffer` (cch bytes, UTF-8, terminated) and frees an
// allocated text. A text longer than the buffer is refused with
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) (freed all the same) rather than cut.
// STRRET_OFFSET text must end inside the first identifier of `pidl` (E_INVALIDARG otherwise).
[[nodiscard]] QV_API HRESULT StrRetToBufA(STRRET* strret, LPCITEMIDLIST pidl, LPSTR buffer,
                                          UINT cch) noexcept;
// The text as a new UTF-8 string from the shell allocator in *out (the caller frees it with
// CoTaskMemFree); an allocated text in `strret` is freed.
[[nodiscard]] QV_API HRESULT StrRetToStrA(STRRET* strret, LPCITEMIDLIST pidl, LPSTR* out) noexcept;

struct IEnumIDList : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x000214F2, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  // The caller frees each identifier handed out with ILFree.
  virtual HRESULT Next(ULONG celt, PITEMID_CHILD* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumIDList** ppenum) = 0;

 protected:
  ~IEnumIDList() = default;
};

struct IShellFolder : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x000214E6, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT ParseDisplayName(HWND hwnd, IBindCtx* pbc, LPWSTR pszDisplayName, ULONG* pchEaten,
                                   PIDLIST_RELATIVE* ppidl, ULONG* pdwAttributes) = 0;
  virtual HRESULT EnumObjects(HWND hwnd, SHCONTF grfFlags, IEnumIDList** ppenumIDList) = 0;
  virtual HRESULT BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx* pbc, REFIID riid, void** ppv) = 0;
  virtual HRESULT BindToStorage(PCUIDLIST_RELATIVE pidl, IBindCtx* pbc, REFIID riid,
                                void** ppv) = 0;
  virtual HRESULT CompareIDs(LPARAM lParam, PCUIDLIST_RELATIVE pidl1, PCUIDLIST_RELATIVE pidl2) = 0;
  virtual HRESULT CreateViewObject(HWND hwndOwner, REFIID riid, void** ppv) = 0;
  virtual HRESULT GetAttributesOf(UINT cidl, PCUITEMID_CHILD_ARRAY apidl, SFGAOF* rgfInOut) = 0;
  virtual HRESULT GetUIObjectOf(HWND hwndOwner, UINT cidl, PCUITEMID_CHILD_ARRAY apidl, REFIID riid,
                                UINT* rgfReserved, void** ppv) = 0;
  virtual HRESULT GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF uFlags, STRRET* pName) = 0;
  virtual HRESULT SetNameOf(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR pszName, SHGDNF uFlags,
                            PITEMID_CHILD* ppidlOut) = 0;

 protected:
  ~IShellFolder() = default;
};

struct IPersist : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x0000010C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT GetClassID(CLSID* pClassID) = 0;

 protected:
  ~IPersist() = default;
};

struct IPersistFolder : IPersist {
  using Base = IPersist;
  static constexpr IID kIid =
      MakeGuid(0x000214EA, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT Initialize(PCIDLIST_ABSOLUTE pidl) = 0;

 protected:
  ~IPersistFolder() = default;
};

struct IPersistFolder2 : IPersistFolder {
  using Base = IPersistFolder;
  static constexpr IID kIid =
      MakeGuid(0x1AC3D9F0, 0x175C, 0x11D1, 0x95, 0xBE, 0x00, 0x60, 0x97, 0x97, 0xEA, 0x4F);
  // A copy of the absolute list given to Initialize (the caller frees it); S_FALSE and null
  // before Initialize.
  virtual HRESULT GetCurFolder(PIDLIST_ABSOLUTE* ppidl) = 0;

 protected:
  ~IPersistFolder2() = default;
};

struct IPersistFile : IPersist {
  using Base = IPersist;
  static constexpr IID kIid =
      MakeGuid(0x0000010B, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(LPCWSTR pszFileName, DWORD dwMode) = 0;
  virtual HRESULT Save(LPCWSTR pszFileName, BOOL fRemember) = 0;
  virtual HRESULT SaveCompleted(LPCWSTR pszFileName) = 0;
  virtual HRESULT GetCurFile(LPWSTR* ppszFileName) = 0;

 protected:
  ~IPersistFile() = default;
};

struct IExtractIconA : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x000214EB, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT GetIconLocation(UINT uFlags, LPSTR pszIconFile, UINT cchMax, int* piIndex,
                                  UINT* pwFlags) = 0;
  virtual HRESULT Extract(LPCSTR pszFile, UINT nIconIndex, HICON* phiconLarge, HICON* phiconSmall,
                          UINT nIconSize) = 0;

 protected:
  ~IExtractIconA() = default;
};

inline constexpr const IID& IID_IEnumIDList = IEnumIDList::kIid;
inline constexpr const IID& IID_IShellFolder = IShellFolder::kIid;
inline constexpr const IID& IID_IPersist = IPersist::kIid;
inline constexpr const IID& IID_IPersistFolder = IPersistFolder::kIid;
inline constexpr const IID& IID_IPersistFolder2 = IPersistFolder2::kIid;
inline constexpr const IID& IID_IPersistFile = IPersistFile::kIid;
inline constexpr const IID& IID_IExtractIconA = IExtractIconA::kIid;
