// The names of every file the product creates or recognises: the encrypted-file, container,
// backup and association suffixes, the empty-folder marker, and the suffix test every name
// check goes through.
//
// Suffixes are compared without regard to case (ASCII letters; the suffixes themselves are
// ASCII) and only where they end the name, because encrypted files moved from Windows keep
// whatever case the user gave them there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "suite/QvContainerFormat.h"
#include "suite/QvFsApi.h"

// An encrypted file: the plain name plus this suffix.
inline constexpr std::string_view kQvfSuffix = kQvfFileSuffix;
// An encrypted folder (container) beside the folder it came from.
inline constexpr std::string_view kQvefSuffix = container::kContainerSuffix;
// A backup kept until the operation ends, or a container decrypted through a temporary name.
inline constexpr std::string_view kBackupSuffix = ".quorvinencryptedtempfile";
// The association suffix registered for the suite's own documents.
inline constexpr std::string_view kQvxSuffix = ".qvx";
// The placeholder entry of an empty folder inside a container; never restored as a file.
inline constexpr std::string_view kEmptyFolderMarker = container::kEmptyFolderMarker;

// What FindSuffix returns when the name does not end with the suffix.
inline constexpr std::size_t kSuffixNotFound = std::string_view::npos;

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
