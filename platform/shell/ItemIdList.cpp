// Identifier lists: walks bounded by sizes, copies from the shell allocator.
#include "platform/shell/ItemIdList.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "platform/ole/TaskMemory.h"

namespace {

// A file-system identifier: size, the mark "FS" at bytes 2 and 3, the component and its NUL.
constexpr BYTE kFileSystemMark[2] = {'F', 'S'};
constexpr std::size_t kFileSystemHeader = 4;

const BYTE* Bytes(LPCITEMIDLIST pidl) { return reinterpret_cast<const BYTE*>(pidl); }

LPCITEMIDLIST At(const BYTE* bytes) { return reinterpret_cast<LPCITEMIDLIST>(bytes); }

// The component of a file-system identifier; false for any other identifier or a damaged one.
bool FileSystemComponent(LPCITEMIDLIST id, std::string_view* component) {
  const USHORT cb = ILItemSize(id);
  if (cb < kFileSystemHeader + 2) return false;
  const BYTE* bytes = Bytes(id);
  if (bytes[2] != kFileSystemMark[0] || bytes[3] != kFileSystemMark[1]) return false;
  const char* text = reinterpret_cast<const char*>(bytes + kFileSystemHeader);
  const std::size_t room = cb - kFileSystemHeader;
  const void* end = std::memchr(text, '\0', room);
  if (end == nullptr) return false;
  *component = std::string_view(text, static_cast<const char*>(end) - text);
  return !component->empty();
}

LPITEMIDLIST NewList(std::size_t bytes) { return static_cast<LPITEMIDLIST>(CoTaskMemAlloc(bytes)); }

}  // namespace

USHORT ILItemSize(LPCITEMIDLIST pidl) noexcept {
  if (pidl == nullptr) return 0;
  USHORT cb;
  std::memcpy(&cb, pidl, sizeof cb);
  return cb;
}

bool ILIsEmpty(LPCITEMIDLIST pidl) noexcept { return ILItemSize(pidl) < kItemIdSizeBytes; }

UINT ILGetSize(LPCITEMIDLIST pidl) noexcept {
  return ILGetSizeBounded(pidl, std::numeric_limits<std::size_t>::max());
}

UINT ILGetSizeBounded(LPCITEMIDLIST pidl, std::size_t available) noexcept {
  if (pidl == nullptr) return 0;
  const BYTE* bytes = Bytes(pidl);
  std::size_t offset = 0;
  for (;;) {
    if (available - offset < kItemIdSizeBytes) return 0;
    const USHORT cb = ILItemSize(At(bytes + offset));
    if (cb < kItemIdSizeBytes) break;
    if (available - offset < cb) return 0;
    offset += cb;
    // Sizes of a list travel in 32 bits; a longer run is no list.
    if (offset > std::numeric_limits<UINT>::max() - kItemIdSizeBytes) return 0;
  }
  return static_cast<UINT>(offset + kItemIdSizeBytes);
}

LPITEMIDLIST ILGetNext(LPCITEMIDLIST pidl) noexcept {
  if (ILIsEmpty(pidl)) return nullptr;
  return const_cast<LPITEMIDLIST>(At(Bytes(pidl) + ILItemSize(pidl)));
}

LPITEMIDLIST ILFindLastID(LPCITEMIDLIST pidl) noexcept {
  if (ILIsEmpty(pidl)) return nullptr;
  LPCITEMIDLIST last = pidl;
  for (LPCITEMIDLIST next = ILGetNext(pidl); !ILIsEmpty(next); next = ILGetNext(next)) last = next;
  return const_cast<LPITEMIDLIST>(last);
}

UINT ILCount(LPCITEMIDLIST pidl) noexcept {
  UINT count = 0;
  for (LPCITEMIDLIST id = pidl; !ILIsEmpty(id); id = ILGetNext(id)) ++count;
  return count;
}

LPITEMIDLIST ILClone(LPCITEMIDLIST pidl) noexcept {
  const UINT size = ILGetSize(pidl);
  if (size == 0) return nullptr;
  LPITEMIDLIST copy = NewList(size);
  if (copy != nullptr) {
    std::memcpy(copy, pidl, size - kItemIdSizeBytes);
    std::memset(reinterpret_cast<BYTE*>(copy) + size - kItemIdSizeBytes, 0, kItemIdSizeBytes);
  }
  return copy;
}

LPITEMIDLIST ILCloneFirst(LPCITEMIDLIST pidl) noexcept {
  if (ILIsEmpty(pidl)) return nullptr;
  const USHORT cb = ILItemSize(pidl);
  LPITEMIDLIST copy = NewList(std::size_t{cb} + kItemIdSizeBytes);
  if (copy != nullptr) {
    std::memcpy(copy, pidl, cb);
    std::memset(reinterpret_cast<BYTE*>(copy) + cb, 0, kItemIdSizeBytes);
  }
  return copy;
}

LPITEMIDLIST ILCombine(LPCITEMIDLIST first, LPCITEMIDLIST second) noexcept {
  if (first == nullptr) return ILClone(second);
  if (second == nullptr) return ILClone(first);
  const std::size_t firstBytes = ILGetSize(first) - kItemIdSizeBytes;
  const std::size_t secondSize = ILGetSize(second);
  if (std::size_t{firstBytes} + secondSize > std::numeric_limits<UINT>::max()) return nullptr;
  LPITEMIDLIST combined = NewList(firstBytes + secondSize);
  if (combined == nullptr) return nullptr;
  BYTE* out = reinterpret_cast<BYTE*>(combined);
  std::memcpy(out, first, firstBytes);
  std::memcpy(out + firstBytes, second, secondSize - kItemIdSizeBytes);
  std::memset(out + firstBytes + secondSize - kItemIdSizeBytes, 0, kItemIdSizeBytes);
  return combined;
}

bool ILIsEqual(LPCITEMIDLIST a, LPCITEMIDLIST b) noexcept {
  if (a == nullptr || b == nullptr) return a == b;
  const UINT size = ILGetSize(a);
  return size == ILGetSize(b) && std::memcmp(a, b, size - kItemIdSizeBytes) == 0;
}

void ILFree(LPITEMIDLIST pidl) noexcept { CoTaskMemFree(pidl); }

LPITEMIDLIST ILCreateFromPathA(LPCSTR path) noexcept {
  if (path == nullptr || path[0] != '/') return nullptr;
  const std::string_view text(path);
  std::size_t total = kItemIdSizeBytes;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    const std::size_t length = end - start;
    if (length > 0) {
      if (kFileSystemHeader + length + 1 > std::numeric_limits<USHORT>::max()) return nullptr;
      total += kFileSystemHeader + length + 1;
    }
    start = end + 1;
  }
  LPITEMIDLIST list = NewList(total);
  if (list == nullptr) return nullptr;
  BYTE* out = reinterpret_cast<BYTE*>(list);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    const std::size_t length = end - start;
    if (length > 0) {
      const auto cb = static_cast<USHORT>(kFileSystemHeader + length + 1);
      std::memcpy(out, &cb, sizeof cb);
      out[2] = kFileSystemMark[0];
      out[3] = kFileSystemMark[1];
      std::memcpy(out + kFileSystemHeader, text.data() + start, length);
      out[kFileSystemHeader + length] = '\0';
      out += cb;
    }
    start = end + 1;
  }
  out[0] = out[1] = 0;
  return list;
}

UINT QvFileSystemIdCount(LPCITEMIDLIST pidl) noexcept {
  UINT count = 0;
  std::string_view component;
  for (LPCITEMIDLIST id = pidl; !ILIsEmpty(id) && FileSystemComponent(id, &component);
       id = ILGetNext(id))
    ++count;
  return count;
}

std::string QvPathFromIDList(LPCITEMIDLIST pidl) {
  if (pidl == nullptr) return {};
  std::string path;
  std::string_view component;
  LPCITEMIDLIST id = pidl;
  for (; !ILIsEmpty(id) && FileSystemComponent(id, &component); id = ILGetNext(id)) {
    if (component == "." || component == ".." || component.find('/') != std::string_view::npos)
      return {};
    path += '/';
    path += component;
  }
  // A list that starts with another folder's identifier names no file-system path.
  if (!ILIsEmpty(id) && id == pidl) return {};
  return path.empty() ? std::string("/") : path;
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, LPSTR path) noexcept {
  if (path == nullptr) return FALSE;
  path[0] = '\0';
  try {
    const std::string text = QvPathFromIDList(pidl);
    if (text.empty() || text.size() >= MAX_PATH) return FALSE;
    std::memcpy(path, text.c_str(), text.size() + 1);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}
