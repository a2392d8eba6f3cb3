// Icons of encrypted items: of an item inside a container (created by the folder's
// GetUIObjectOf) and, as the icon handler of the two encrypted file types, of a ".qvf" file or
// ".qvef" container in an ordinary folder. The icon is the one of the underlying type (a
// folder, or the plain file's type by its name) with the library's overlay on top.
#pragma once

#include <string>

#include "platform/Com.h"
#include "platform/shell/ShellFolder.h"

struct IQvExtractIcon : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0xC3A85F17, 0x2E94, 0x4B60, 0x8D, 0x1C, 0x7F, 0x02, 0xA6, 0xE9, 0x54, 0xB3);

 protected:
  ~IQvExtractIcon() = default;
};

// The library's overlay icon resource.
inline constexpr UINT IDI_QV_OVERLAY = 610;

class CQvExtractIcon final : public ComObject<IQvExtractIcon, IPersistFile, IExtractIconA> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;
  explicit CQvExtractIcon(ComModule* module);

  // Set-up for an item inside a container: holds the folder and a copy of the identifier
  // (which must parse: E_INVALIDARG otherwise).
  [[nodiscard]] HRESULT SetItem(IShellFolder* folder, LPCITEMIDLIST item);

  // IPersistFile (the standalone handler is given its file by Load).
  HRESULT GetClassID(CLSID* pClassID) override;
  HRESULT IsDirty() override;
  HRESULT Load(LPCWSTR pszFileName, DWORD dwMode) override;
  HRESULT Save(LPCWSTR pszFileName, BOOL fRemember) override;
  HRESULT SaveCompleted(LPCWSTR pszFileName) override;
  HRESULT GetCurFile(LPWSTR* ppszFileName) override;

  // IExtractIconA.
  HRESULT GetIconLocation(UINT uFlags, LPSTR pszIconFile, UINT cchMax, int* piIndex,
                          UINT* pwFlags) override;
  HRESULT Extract(LPCSTR pszFile, UINT nIconIndex, HICON* phiconLarge, HICON* phiconSmall,
                  UINT nIconSize) override;

 private:
  ~CQvExtractIcon() override;

  ComPtr<IShellFolder> folder_;
  LPITEMIDLIST item_ = nullptr;
  // Until SetItem: a handler of a file in an ordinary folder, a container until Load names a
  // ".qvf" file.
  bool standalone_ = true;
  bool standaloneIsFolder_ = true;
  // For a standalone ".qvf" file: the plain name the icon follows.
  std::string iconName_;
};
