// The per-item rules of an operation: which locations nothing may be encrypted from or
// decrypted into, the encryption and decryption checks every item passes before the
// file-encryption library sees it, and the label the progress dialog shows while it
// prepares an item.
//
// On this system the protected locations are the operating system's folders, the suite's
// install folder, the per-user configuration, data, cache and state folders (where the
// desktop keeps what Windows keeps in application data, cookies, history and the Internet
// cache), and the profiles folder /home itself (each user's folder below it stays usable).
// The suite's own files are protected whatever the settings say: the machine root (user
// store, registry hive) and the folders of the running program, of this library and of the
// suite's libraries.
// Paths are compared case-sensitively, as the file system compares them, and a folder
// protects only what lies inside it: "/usr" protects "/usr" and "/usr/lib", never "/usrlocal".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/ItemStatus.h"
#include "platform/WinTypes.h"

// Check flags: 4 runs the name check, 8 the location check, 12 both (files inside folders).
inline constexpr DWORD kCheckName = 4;
inline constexpr DWORD kCheckLocation = 8;
inline constexpr DWORD kCheckAll = kCheckName | kCheckLocation;

// A preparation label hides file names of this many characters or more.
inline constexpr std::size_t kPreparationLabelNameLimit = 50;

// The folders a path must not lie in, each ending with "/": the Windows-directory stand-in,
// the "ProgramFilesDir" and "ProgramFilesDir (x86)" system values when the registry holds
// them, the system folders, the suite's InstallDir setting, the per-user folders, the
// machine root and the folders of the running program and of the loaded suite libraries
// (each also in its form with links resolved). Empty
// entries are left out. Read afresh at every call (settings take effect at the next use).
[[nodiscard]] std::vector<std::string> ProtectedPrefixes();

// The protected locations as read at one moment. A folder walk reads them once for all its
// files instead of reading the settings again for every file.
class ProtectedLocations {
 public:
  [[nodiscard]] static ProtectedLocations Read();
  // True when `path` (made absolute and free of "." and ".." parts first) is the profiles
  // folder or the file-system root itself, or lies inside one of the prefixes. The path
  // itself counts as inside a folder it names exactly ("/usr" is protected).
  [[nodiscard]] bool Contains(std::string_view path) const;

 private:
  std::vector<std::string> prefixes_;
  std::string profiles_;
};

// ProtectedLocations::Read().Contains(path).
[[nodiscard]] bool IsProtectedLocation(std::string_view path);

// Before encrypting `path`: with kCheckName a name ending in ".qvf" or ".qvef" gives
// StatusAlreadyEncrypted; then with kCheckLocation a protected location gives
// StatusProtectedLocation; otherwise StatusSuccess.
[[nodiscard]] ItemStatus CheckForEncryption(std::string_view path, DWORD flags);
[[nodiscard]] ItemStatus CheckForEncryption(std::string_view path, DWORD flags,
                                            const ProtectedLocations& locations);

// Before decrypting `path`: with kCheckName a name ending in neither ".qvf" nor ".qvef" gives
// StatusNotEncryptedFile; then with kCheckLocation a protected location gives
// StatusProtectedLocation; otherwise StatusSuccess.
[[nodiscard]] ItemStatus CheckForDecryption(std::string_view path, DWORD flags);
[[nodiscard]] ItemStatus CheckForDecryption(std::string_view path, DWORD flags,
                                            const ProtectedLocations& locations);

// The progress label of the preparation pass for one item: "Preparing for Encryption: %s"
// (encrypting) or "Preparing for Decryption: %s" in the user's language, with `fileName`,
// or with nothing in its place when the name has kPreparationLabelNameLimit characters or
// more. Characters are counted as UTF-8 characters, not bytes.
[[nodiscard]] std::string PreparationLabel(bool encrypt, std::string_view fileName);
