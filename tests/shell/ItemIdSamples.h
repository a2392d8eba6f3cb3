// Identifiers for the shell tests: owned lists, fields of ordinary items, and damaged
// identifiers, each in a buffer of exactly its own size plus the list terminator, so that a
// reader that goes past what the identifier says is caught by the address sanitizer.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/shell/ItemIdList.h"
#include "base/ContainerItemId.h"

namespace shell_test {

// A list from the shell allocator, freed with the test.
class OwnedList {
 public:
  OwnedList() = default;
  explicit OwnedList(LPITEMIDLIST list) : list_(list) {}
  OwnedList(OwnedList&& other) noexcept : list_(std::exchange(other.list_, nullptr)) {}
  OwnedList& operator=(OwnedList&& other) noexcept {
    std::swap(list_, other.list_);
    return *this;
  }
  ~OwnedList() { ILFree(list_); }
  LPITEMIDLIST Get() const { return list_; }
  const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(list_); }
  explicit operator bool() const { return list_ != nullptr; }

 private:
  LPITEMIDLIST list_ = nullptr;
};

// The bytes of a list, terminator included; the list is freed.
inline std::vector<BYTE> Bytes(LPITEMIDLIST list) {
  OwnedList owned(list);
  const UINT size = ILGetSize(list);
  return std::vector<BYTE>(owned.Bytes(), owned.Bytes() + size);
}

inline ContainerItemFields FileFields(DWORD folderId, DWORD fileId, std::string name, DWORD size) {
  ContainerItemFields fields;
  fields.folderId = folderId;
  fields.secondId = fileId;
  fields.size = size;
  fields.version = 2;
  fields.name = std::move(name);
  return fields;
}

inline ContainerItemFields FolderFields(DWORD folderId, DWORD parentId, std::string storedPath) {
  ContainerItemFields fields;
  fields.folderId = folderId;
  fields.secondId = parentId;
  fields.attributes = itemid::kDirectoryAttribute;
  fields.version = 2;
  fields.name = storedPath.substr(storedPath.rfind('\\') + 1);
  fields.storedPath = std::move(storedPath);
  return fields;
}

struct Damaged {
  std::string what;
  std::vector<BYTE> bytes;  // the identifier (cb bytes) and a 2-byte terminator
  LPCITEMIDLIST List() const { return reinterpret_cast<LPCITEMIDLIST>(bytes.data()); }
};

// An identifier written byte by byte: header fields, then `text` (NULs as given) up to cb.
inline Damaged Raw(std::string what, DWORD folderId, WORD attributes, DWORD pathOffset,
                   const std::string& text, std::size_t cb) {
  std::vector<BYTE> bytes(cb + 2, 0);
  const auto put16 = [&bytes](std::size_t at, WORD v) {
    if (at + 2 <= bytes.size()) std::memcpy(bytes.data() + at, &v, 2);
  };
  const auto put32 = [&bytes](std::size_t at, DWORD v) {
    if (at + 4 <= bytes.size()) std::memcpy(bytes.data() + at, &v, 4);
  };
  put16(0, static_cast<WORD>(cb));
  put32(4, folderId);
  put32(8, 1);
  put16(24, attributes);
  put32(28, pathOffset);
  put32(36, 2);
  for (std::size_t i = 0; i < text.size() && 40 + i < cb; ++i) bytes[40 + i] = text[i];
  bytes[cb] = bytes[cb + 1] = 0;
  return Damaged{std::move(what), std::move(bytes)};
}

// Every way an identifier can be damaged that the parser must catch.
inline std::vector<Damaged> DamagedIdentifiers() {
  const WORD dir = itemid::kDirectoryAttribute;
  using std::string_literals::operator""s;
  std::vector<Damaged> samples = {
      Raw("size below the fixed header", 4, 0, 0, "", 20),
      Raw("size of only the fixed header", 4, 0, 0, "", 40),
      Raw("name without its terminator", 4, 0, 0, "abcde", 45),
      Raw("empty name", 4, 0, 0, "\0pad"s, 44),
      Raw("name \"..\"", 4, dir, 3, "..\0\\..\0"s, 50),
      Raw("name holding a backslash", 0, 0, 0, "a\\b\0"s, 47),
      Raw("name holding a slash", 0, 0, 0, "a/b\0"s, 47),
      Raw("stored path starting inside the name", 4, dir, 2, "Docs\0\\Docs\0"s, 58),
      Raw("stored path starting past the identifier", 4, dir, 30, "Docs\0\\Docs\0"s, 58),
      Raw("stored path at a huge offset", 4, dir, 0xFFFFFFF0u, "Docs\0\\Docs\0"s, 58),
      Raw("stored path without its terminator", 4, dir, 5, "Docs\0\\Docs"s, 50),
      Raw("stored path not ending in the name", 4, dir, 5, "Docs\0\\Other\0"s, 58),
      Raw("stored path without a leading backslash", 4, dir, 5, "Docs\0Docs\0"s, 58),
      Raw("stored path with an empty part", 4, dir, 5, "Docs\0\\\\Docs\0"s, 58),
      Raw("folder with folder id 0", 0, dir, 5, "Docs\0\\Docs\0"s, 58),
  };
  // A size of 1 is no identifier at all: the list is read as empty.
  samples.push_back(Damaged{"size 1", {1, 0, 0, 0}});
  return samples;
}

}  // namespace shell_test
