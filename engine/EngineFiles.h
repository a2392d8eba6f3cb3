// Small file helpers every part of the engine uses: existence without following a link's
// target, the engine's plain delete, splitting a path into folder and name, listing a held
// folder and opening its subfolders without following links, and the credential block that
// is wiped when it goes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/SecureMemory.h"
#include "suite/QvFsApi.h"

namespace engine {

inline bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Deletes, with normal attributes set first when the file's own (read-only) stop it: a plain
// delete, the data is not overwritten first.
inline bool DeleteNormal(const std::string& path) {
  if (DeleteFileA(path.c_str()) != FALSE) return true;
  (void)SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(path.c_str()) != FALSE;
}

// Folder and name of a native path; a path ending in "/" names its last folder.
inline std::pair<std::string, std::string> SplitPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return {std::string(), trimmed};
  return {slash == 0 ? std::string("/") : trimmed.substr(0, slash), trimmed.substr(slash + 1)};
}

inline bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
inline bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// The entries of the folder `handle` holds, read before the walk changes anything; false
// when the folder cannot be listed. The engine tells entries apart only as folders, files
// and links, so the attributes kept beside each file are not read.
inline bool ListFolder(const FolderHandle& handle, std::vector<FOLDER_ENTRY>* entries) {
  return handle.ListTypes(entries) != FALSE;
}

// The subfolder `entry` of `parent`, opened without following a link and checked to be the
// folder the listing saw; false when it was replaced meanwhile.
inline bool OpenListedSubfolder(const FolderHandle& parent, const FOLDER_ENTRY& entry,
                                FolderHandle* subfolder) {
  FILE_IDENTITY opened;
  return parent.OpenSubfolder(entry.name.c_str(), subfolder) && subfolder->GetIdentity(&opened) &&
         opened.SameFile(entry.identity);
}

// A credential block (key name, NUL, label, NUL) of the dialog's size, wiped when it goes.
class Credentials {
 public:
  explicit Credentials(DWORD size) : bytes_(size, 0) {}
  ~Credentials() { SecureZeroMemory(bytes_.data(), bytes_.size()); }
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  [[nodiscard]] bool Fill(const std::string& keyName, const std::string& label) {
    return FillCredentialBlock(bytes_.data(), static_cast<DWORD>(bytes_.size()), keyName.c_str(),
                               label.c_str(), &length_);
  }
  BYTE* Data() { return bytes_.data(); }
  DWORD Length() const { return length_; }
  DWORD* LengthPointer() { return &length_; }

 private:
  std::vector<BYTE> bytes_;
  DWORD length_ = 0;
};

}  // namespace engine
