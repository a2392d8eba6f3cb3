// The context-menu handler the file manager loads for every file and folder. It looks at the
// selection, offers encrypt, decrypt, sharing or convert between two separators, and runs the
// chosen command: verification, the engine's progress dialog (or the converter), and the
// audit record. It never encrypts or decrypts anything itself.
//
// One object serves one right-click: Initialize, QueryContextMenu, then GetCommandString and
// InvokeCommand on the file manager's thread. A command runs only when the last
// QueryContextMenu after a successful Initialize added it; a new Initialize starts over.
#pragma once

#include <bitset>
#include <string>
#include <vector>

#include "engine/ItemRules.h"
#include "platform/Com.h"
#include "platform/shell/ContextMenu.h"

// The handler's own interface, first in its table (no methods beyond IUnknown).
struct IQvShellExt : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x865DD464, 0xE489, 0x4D9C, 0x96, 0x8A, 0x8F, 0x75, 0x8A, 0xAF, 0x03, 0x0D);

 protected:
  ~IQvShellExt() = default;
};

// Command offsets from the first id the file manager assigns.
inline constexpr UINT CMD_LEADING_SEPARATOR = 0;
inline constexpr UINT CMD_ENCRYPT = 1;
inline constexpr UINT CMD_DECRYPT = 2;
inline constexpr UINT CMD_SHARING = 3;
inline constexpr UINT CMD_CONVERT = 4;
inline constexpr UINT CMD_TRAILING_SEPARATOR = 5;
// The ids the menu consumes.
inline constexpr UINT kShellExtCommandCount = 6;

inline constexpr const char* kEncryptVerb = "QVEncryptCMD";
inline constexpr const char* kDecryptVerb = "QVDecryptCMD";

// The shell application's window: while it exists no command runs.
inline constexpr const char* kShellAppWindowClass = "MainWndClass";
inline constexpr const char* kShellAppWindowTitle = "Marlowen Quorvin Shell App";

class CQvShellExt final : public ComObject<IQvShellExt, IShellExtInit, IContextMenu> {
 public:
  // Creates a handler and queries `riid` from it; `module` (optional) is held locked while it
  // lives.
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;

  explicit CQvShellExt(ComModule* module);

  // IShellExtInit: S_OK when at least one command will be offered, E_INVALIDARG otherwise.
  HRESULT Initialize(LPCITEMIDLIST folder, IDataObject* data, HKEY progId) override;

  // IContextMenu.
  HRESULT QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                           UINT flags) override;
  // Numeric commands only; S_OK once an offered command ran, whatever its outcome.
  HRESULT InvokeCommand(CMINVOKECOMMANDINFO* info) override;
  HRESULT GetCommandString(UINT_PTR idCmd, UINT type, UINT* reserved, CHAR* name,
                           UINT cchMax) override;

 private:
  // The outcomes a command records.
  enum Outcome : DWORD { kDone = 1, kFailed = 4 };

  void Reset();
  // Adds `path` to the counters and the selection; false when the menu must not be shown.
  bool Accept(std::string path, const ProtectedLocations& protectedLocations);
  // The path of a ".qvx" container under its ".qvef" name; empty when it cannot be moved.
  static std::string RenamedContainer(const std::string& path);
  void DecideItems();

  void RunFramedCommand(UINT offset);
  DWORD RunEncrypt(const std::string& userId, const std::string& userName);
  DWORD RunDecrypt(const std::string& userId, const std::string& userName);
  // The sharing dialog's Result (1, 4 or 5) is the command's outcome.
  DWORD RunSharing(const std::string& userId, const std::string& userName);
  // The refusal notice after a passed verification.
  static DWORD ShowInvalidUser();

  std::vector<std::string> selection_;
  bool menuEnabled_ = false;
  DWORD encryptedCount_ = 0;
  DWORD plainCount_ = 0;
  bool showEncrypt_ = false;
  bool showDecrypt_ = false;
  bool showSharing_ = false;
  bool showConvert_ = false;
  bool sentivo_ = false;
  // The command offsets the last QueryContextMenu added.
  std::bitset<kShellExtCommandCount> offered_;
};
