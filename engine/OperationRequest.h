// The request of one engine operation (one modal run of the progress dialog over a list of
// paths in one direction) and the names of every file the engine creates or recognises: the
// encrypted-file, container, backup and association suffixes, the empty-folder marker, and
// the suffix test every name check goes through.
//
// Suffixes are compared without regard to case (ASCII letters; the suffixes themselves are
// ASCII) and only where they end the name, because encrypted files moved from Windows keep
// whatever case the user gave them there.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

// An encrypted file: the plain name plus this suffix.
inline constexpr std::string_view kQvfSuffix = ".qvf";
// An encrypted folder (container) beside the folder it came from.
inline constexpr std::string_view kQvefSuffix = ".qvef";
// A backup kept until the operation ends, or a container decrypted through a temporary name.
inline constexpr std::string_view kBackupSuffix = ".quorvinencryptedtempfile";
// The association suffix registered for the suite's own documents.
inline constexpr std::string_view kQvxSuffix = ".qvx";
// The placeholder entry of an empty folder inside a container; never restored as a file.
inline constexpr std::string_view kEmptyFolderMarker = "qvdummyffff.qvf";

// What FindSuffix returns when the name does not end with the suffix.
inline constexpr std::size_t kSuffixNotFound = std::string_view::npos;

// The optional arguments of an operation on a container open in a view.
struct ContainerArguments {
  // Decrypting: the destination folder. Encrypting: the folder of the dropped files.
  std::string directory;
  // The container file (native path).
  std::string containerPath;
  // The folder inside the container the operation works on; 0 is the container's root.
  DWORD folderId = 0;
};

// A path that the caller refused before the operation, with the status that tells why.
struct RefusedItem {
  std::string path;
  DWORD status = 0;
};

// The arguments of CProgressDlg. The engine edits `items` in place during the preparation
// pass (long path forms, removed suffixes, items the user chose not to replace).
struct OperationRequest {
  // Ordered full paths: files, folders, .qvf files, .qvef containers.
  std::vector<std::string> items;
  // Names the user towards the user-data object; the default key name.
  std::string userId;
  // Shown; the second part of the key credentials in the EDITION_SENTIVO edition.
  std::string userName;
  // true encrypts, false decrypts.
  bool encrypt = true;
  // A folder's source is not deleted after encryption, and container post-processing keeps
  // its sources.
  bool keepSource = false;
  // Present for an operation on an open container.
  std::optional<ContainerArguments> container;
  // Paths handed over by another process and refused before the operation: each gets its
  // failed row before the passes run, and the engine never touches them.
  std::vector<RefusedItem> refused;
};

// The position in `name` where `suffix` ends it, or kSuffixNotFound. A suffix that does not
// begin with "." or is longer than the name is never found; the comparison ignores the case
// of ASCII letters and only looks at the end of the name.
[[nodiscard]] std::size_t FindSuffix(std::string_view name, std::string_view suffix) noexcept;

// FindSuffix(name, suffix) != kSuffixNotFound.
[[nodiscard]] bool HasSuffix(std::string_view name, std::string_view suffix) noexcept;

// True when the name ends in ".qvf" or ".qvef".
[[nodiscard]] bool IsEncryptedName(std::string_view name) noexcept;

// `name` without a final `suffix` (as FindSuffix finds it); unchanged when it does not end so.
[[nodiscard]] std::string WithoutSuffix(std::string_view name, std::string_view suffix);

// The plain name of an encrypted file: `path` without a final ".qvf"; unchanged otherwise.
[[nodiscard]] std::string PlainNameOf(std::string_view path);

// The backup name of a file or container: `path` plus ".quorvinencryptedtempfile".
[[nodiscard]] std::string BackupNameOf(std::string_view path);
