// The suffix test and the names derived from it.
#include "base/ItemNames.h"

namespace {

char LowerAscii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t FindSuffix(std::string_view name, std::string_view suffix) noexcept {
  if (suffix.empty() || suffix.front() != '.' || suffix.size() > name.size())
    return kSuffixNotFound;
  const std::size_t start = name.size() - suffix.size();
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (LowerAscii(name[start + i]) != LowerAscii(suffix[i])) return kSuffixNotFound;
  }
  return start;
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
