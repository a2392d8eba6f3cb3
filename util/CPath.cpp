// CPath: splitting a path into its parts and the path-level file operations, all through
// the platform's file functions.
#include "util/CPath.h"

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Owned.h"
#include "platform/Utf8.h"

namespace {

constexpr const char* kSeparators = "/\\";

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// At most CPath::kMaxPart bytes, never ending inside a UTF-8 sequence.
std::string Cut(std::string part) {
  part.resize(Utf8PrefixLength(part, CPath::kMaxPart));
  return part;
}

// Where the parts of `path` begin and end.
struct Split {
  std::size_t driveEnd = 0;             // 0 or 2
  std::size_t nameStart = 0;            // first byte after the last separator (or after the drive)
  std::size_t dot = std::string::npos;  // the last "." of the name, or npos
};

Split SplitPath(const std::string& path) {
  Split s;
  s.driveEnd = path.size() >= 2 && path[1] == ':' ? 2 : 0;
  const std::size_t sep = path.find_last_of(kSeparators);
  s.nameStart = sep == std::string::npos || sep < s.driveEnd ? s.driveEnd : sep + 1;
  const std::size_t dot = path.find_last_of('.');
  if (dot != std::string::npos && dot >= s.nameStart) s.dot = dot;
  return s;
}

// "a/b/" -> "a/", "/a/" -> "/", "a/" -> "".
std::string ParentFolder(const std::string& folder) {
  std::size_t end = folder.size();
  while (end > 1 && IsSeparator(folder[end - 1])) --end;
  const std::size_t sep = folder.find_last_of(kSeparators, end - 1);
  return sep == std::string::npos ? std::string() : folder.substr(0, sep + 1);
}

bool CreateFolderPath(const std::string& folder, bool withParents) {
  if (folder.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (CreateDirectoryA(folder.c_str())) return true;
  if (!withParents || GetLastError() != ERROR_PATH_NOT_FOUND) return false;
  const std::string parent = ParentFolder(folder);
  if (parent.empty() || parent.size() >= folder.size()) return false;
  if (!CreateFolderPath(parent, true) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  return CreateDirectoryA(folder.c_str()) != FALSE;
}

bool RemoveFolderPath(const std::string& folder, bool emptyFirst);

// Removes every entry of `folder` (files with force, folders recursively).
bool EmptyFolder(const std::string& folder) {
  const std::string prefix = IsSeparator(folder.back()) ? folder : folder + "/";
  WIN32_FIND_DATAA data{};
  FindHandle find(FindFirstFileA((prefix + "*.*").c_str(), &data));
  if (!find.Valid()) return false;
  bool ok = true;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    const std::string child = prefix + name;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      ok = RemoveFolderPath(child, true);
    else
      ok = CPath(child).Delete(true);
  } while (ok && FindNextFileA(find.Get(), &data));
  const DWORD error = GetLastError();
  find.Reset();
  SetLastError(error);
  return ok && error == ERROR_NO_MORE_FILES;
}

bool RemoveFolderPath(const std::string& folder, bool emptyFirst) {
  if (folder.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  // A symbolic link standing for the folder is removed by itself: emptying or changing it
  // would reach into the folder it points to.
  std::string entry = folder;
  while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
  const DWORD attributes = GetFileAttributesA(entry.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return RemoveDirectoryA(entry.c_str()) != FALSE;
  // Normal attributes give the owner write access, which removing the entries needs.
  (void)SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (emptyFirst && !EmptyFolder(folder)) return false;
  return RemoveDirectoryA(folder.c_str()) != FALSE;
}

// Whether an entry with `attributes` may be deleted: never a folder, a read-only file only
// when forced. Sets the error when not.
bool MayDelete(DWORD attributes, bool force) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && !force)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

std::string FullPath(const std::string& path) {
  static_assert(CPath::kBufferSize <= 0xFFFFFFFFu);
  char buffer[CPath::kBufferSize];
  const DWORD n = GetFullPathNameA(path.c_str(), CPath::kBufferSize, buffer);
  if (n == 0) return {};
  if (n >= CPath::kBufferSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  return std::string(buffer, n);
}

}  // namespace

CPath::CPath(const char* path) { Set(path); }
CPath::CPath(const std::string& path) : path_(path) {}
CPath::~CPath() = default;

void CPath::Set(const char* path) { path_ = path != nullptr ? path : ""; }

std::string CPath::GetDrive() const { return path_.substr(0, SplitPath(path_).driveEnd); }

std::string CPath::GetDirectory() const {
  const Split s = SplitPath(path_);
  return Cut(path_.substr(s.driveEnd, s.nameStart - s.driveEnd));
}

std::string CPath::GetFileName() const {
  const Split s = SplitPath(path_);
  const std::size_t end = s.dot == std::string::npos ? path_.size() : s.dot;
  return Cut(path_.substr(s.nameStart, end - s.nameStart));
}

std::string CPath::GetExtension() const {
  const Split s = SplitPath(path_);
  return s.dot == std::string::npos ? std::string() : Cut(path_.substr(s.dot));
}

std::string CPath::GetFolder() const {
  const std::string directory = GetDirectory();
  // A network path has no drive; its folder is the directory as it stands.
  if (directory.size() >= 2 && IsSeparator(directory[0]) && IsSeparator(directory[1]))
    return directory;
  return Cut(GetDrive() + directory);
}

std::string CPath::GetNameWithExtension() const {
  return Cut(path_.substr(SplitPath(path_).nameStart));
}

bool CPath::GetLongPath(std::string& out) const {
  out = FullPath(path_);
  if (out.empty()) return false;
  char buffer[kBufferSize];
  const DWORD n = GetLongPathNameA(out.c_str(), buffer, kBufferSize);
  if (n == 0) return false;
  if (n >= kBufferSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  out.assign(buffer, n);
  return true;
}

bool CPath::SetToTempFolder() {
  char buffer[kBufferSize];
  const DWORD n = GetTempPathA(kBufferSize, buffer);
  if (n == 0 || n >= kBufferSize) {
    if (n != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  path_.assign(buffer, n);
  return true;
}

bool CPath::MakeUniqueTempFile(const char* prefix) {
  if (prefix == nullptr || prefix[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::string folder = GetFolder();
  char buffer[kBufferSize];
  if (GetTempFileNameA(folder.empty() ? "." : folder.c_str(), prefix, 0, buffer) == 0) return false;
  if (!OverwriteAndDelete(buffer)) return false;
  path_ = folder + CPath(buffer).GetNameWithExtension();
  return true;
}

bool CPath::Exists() const {
  if (path_.empty()) return false;
  WIN32_FIND_DATAA data{};
  return FindHandle(FindFirstFileA(path_.c_str(), &data)).Valid();
}

DWORD CPath::GetAttributes() const { return GetFileAttributesA(path_.c_str()); }

std::int64_t CPath::GetSizeAndTimes(FILETIME* creation, FILETIME* lastAccess,
                                    FILETIME* lastWrite) const {
  if (path_.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return -1;
  }
  WIN32_FIND_DATAA data{};
  if (!FindHandle(FindFirstFileA(path_.c_str(), &data)).Valid()) return -1;
  FILETIME utc[3] = {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime};
  FILETIME* out[3] = {creation, lastAccess, lastWrite};
  for (int i = 0; i < 3; ++i) {
    if (out[i] == nullptr) continue;
    const FILETIME& source = FileTimeToTicks(utc[i]) == 0 ? utc[2] : utc[i];
    if (!FileTimeToLocalFileTime(&source, out[i])) *out[i] = source;
  }
  return static_cast<std::int64_t>(FileSizeOf(data));
}

bool CPath::Delete(bool force) {
  if (!MayDelete(GetAttributes(), force)) return false;
  (void)SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
  return OverwriteAndDelete(path_.c_str());
}

bool CPath::Move(const char* newPath, bool overwrite) {
  if (newPath == nullptr || newPath[0] == '\0' || path_.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const CPath target(newPath);
  if (!target.Exists()) return MoveFileA(path_.c_str(), newPath) != FALSE;
  if (!overwrite) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  const std::string from = FullPath(path_);
  if (!from.empty() && from == FullPath(newPath)) return true;
  // The target may go only where a delete without force would take it, and it goes in the
  // same step as the move: deleting it first would lose it whenever the move then failed
  // (a missing source, a full disk, or the same file reached through a link).
  if (!MayDelete(target.GetAttributes(), false)) return false;
  return MoveFileExA(path_.c_str(), newPath, MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING) !=
         FALSE;
}

bool CPath::SetCurrentDirectoryToFolder() const {
  return SetCurrentDirectoryA(GetFolder().c_str()) != FALSE;
}

bool CPath::CreateFolder(bool withParents) const {
  return CreateFolderPath(GetFolder(), withParents);
}

bool CPath::RemoveFolder(bool emptyFirst) const {
  return RemoveFolderPath(GetFolder(), emptyFirst);
}

bool CPath::OverwriteAndDelete(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  (void)OverwriteFileA(path, "     ", 5);
  return DeleteFileA(path) != FALSE;
}
