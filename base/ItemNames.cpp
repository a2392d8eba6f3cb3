// The suffix test and the names derived from it.
#include "base/ItemNames.h"

#include "platform/AsciiCase.h"

std::size_t FindSuffix(std::string_view name, std::string_view suffix) noexcept {
  if (suffix.empty() || suffix.front() != '.' || suffix.size() > name.size())
    return kSuffixNotFound;
  const std::size_t start = name.size() - suffix.size();
  return EqualsIgnoringAsciiCase(name.substr(start), suffix) ? start : kSuffixNotFound;
}

bool HasSuffix(std::string_view name, std::string_view suffix) noexcept {
  return FindSuffix(name, suffix) != kSuffixNotFound;
}

bool IsEncryptedName(std::string_view name) noexcept {
  return HasSuffix(name, kQvfSuffix) || HasSuffix(name, kQvefSuffix);
}

std::string WithoutSuffix(std::string_view name, std::string_view suffix) {
  const std::size_t at = FindSuffix(name, suffix);
  return std::string(at == kSuffixNotFound ? name : name.substr(0, at));
}

std::string PlainNameOf(std::string_view path) { return WithoutSuffix(path, kQvfSuffix); }

std::string BackupNameOf(std::string_view path) {
  std::string backup(path);
  backup += kBackupSuffix;
  return backup;
}
