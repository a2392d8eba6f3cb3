// The CF_HDROP parser, DragQueryFile, and the block and data object a host builds.
#include "platform/shell/DragQuery.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/LastError.h"
#include "platform/Utf8.h"
#include "platform/ole/TextConversion.h"

namespace {

char16_t WideAt(const BYTE* block, std::size_t offset) {
  char16_t unit;
  std::memcpy(&unit, block + offset, sizeof unit);  // the list need not be aligned
  return unit;
}

// Where the next name after the one at `offset` starts scanning; fills `entry` and returns
// false at the end of the list (the empty name, or no terminator inside the block).
bool NextName(const BYTE* block, std::size_t size, bool wide, std::size_t offset,
              DropListEntry* entry) {
  const std::size_t unit = wide ? 2 : 1;
  std::size_t length = 0;
  for (std::size_t at = offset;; at += unit, ++length) {
    if (at + unit > size) return false;
    const bool terminator = wide ? WideAt(block, at) == 0 : block[at] == 0;
    if (terminator) break;
  }
  if (length == 0) return false;
  *entry = {offset, length};
  return true;
}

bool ReadHeader(const BYTE* block, std::size_t size, bool* wide, std::size_t* first) {
  if (block == nullptr || size < sizeof(DROPFILES)) return false;
  DROPFILES header;
  std::memcpy(&header, block, sizeof header);
  if (header.pFiles < sizeof(DROPFILES) || header.pFiles > size) return false;
  *wide = header.fWide != 0;
  *first = header.pFiles;
  return true;
}

// DragQueryFile is called once per index, in order, by every caller that walks a selection;
// remembering where the last name ended keeps a walk over n names linear instead of
// quadratic. The cursor is only a starting point: every read is bounded again.
struct Cursor {
  HDROP drop = nullptr;
  const BYTE* block = nullptr;
  std::size_t size = 0;
  UINT index = 0;
  std::size_t offset = 0;
};
thread_local Cursor t_cursor;

// Finds name `index` of the locked block; false when there is none.
bool FindName(HDROP drop, const BYTE* block, std::size_t size, UINT index, bool* wide,
              DropListEntry* entry) {
  std::size_t offset = 0;
  if (!ReadHeader(block, size, wide, &offset)) return false;
  const std::size_t unit = *wide ? 2 : 1;
  UINT at = 0;
  // The cursor is used only where a name starts (a terminator just before it), so even a block
  // that changed since never yields part of a name.
  if (t_cursor.drop == drop && t_cursor.block == block && t_cursor.size == size &&
      t_cursor.index <= index && t_cursor.offset >= offset + unit && t_cursor.offset <= size &&
      (*wide ? WideAt(block, t_cursor.offset - 2) == 0 : block[t_cursor.offset - 1] == 0)) {
    at = t_cursor.index;
    offset = t_cursor.offset;
  }
  for (;; ++at) {
    if (!NextName(block, size, *wide, offset, entry)) return false;
    if (at == index) break;
    offset = entry->offset + (entry->length + 1) * unit;
  }
  t_cursor = {drop, block, size, index, entry->offset};
  return true;
}

UINT CountNames(const BYTE* block, std::size_t size) {
  bool wide = false;
  std::size_t offset = 0;
  if (!ReadHeader(block, size, &wide, &offset)) return 0;
  UINT count = 0;
  DropListEntry entry{};
  while (NextName(block, size, wide, offset, &entry)) {
    ++count;
    offset = entry.offset + (entry.length + 1) * (wide ? 2 : 1);
  }
  return count;
}

// Locks the block for one query and unlocks it when done.
class LockedDrop {
 public:
  explicit LockedDrop(HDROP drop)
      : drop_(drop),
        block_(static_cast<const BYTE*>(GlobalLock(drop))),
        size_(block_ != nullptr ? GlobalSize(drop) : 0) {}
  ~LockedDrop() {
    if (block_ != nullptr) (void)GlobalUnlock(drop_);
  }
  LockedDrop(const LockedDrop&) = delete;
  LockedDrop& operator=(const LockedDrop&) = delete;
  const BYTE* Block() const { return block_; }
  std::size_t Size() const { return size_; }

 private:
  HDROP drop_;
  const BYTE* block_;
  std::size_t size_;
};

// The name in the asked form, or false when it is not valid text in that form.
bool NameAsNarrow(const BYTE* block, bool wide, const DropListEntry& entry, std::string* out) {
  if (!wide) {
    out->assign(reinterpret_cast<const char*>(block + entry.offset), entry.length);
    return true;
  }
  std::u16string name(entry.length, u'\0');
  std::memcpy(name.data(), block + entry.offset, entry.length * 2);
  const int n = static_cast<int>(name.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), n, nullptr, 0,
                                         nullptr, nullptr);
  if (needed <= 0) return false;
  out->resize(static_cast<std::size_t>(needed));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), n, out->data(), needed,
                             nullptr, nullptr) == needed;
}

bool NameAsWide(const BYTE* block, bool wide, const DropListEntry& entry, std::u16string* out) {
  if (wide) {
    out->assign(entry.length, u'\0');
    std::memcpy(out->data(), block + entry.offset, entry.length * 2);
    return true;
  }
  const auto* name = reinterpret_cast<const char*>(block + entry.offset);
  const int n = static_cast<int>(entry.length);
  const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, n, nullptr, 0);
  if (needed <= 0) return false;
  out->resize(static_cast<std::size_t>(needed));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, n, out->data(), needed) == needed;
}

// The query itself; a failure leaves its reason in *error (unlocking the block would
// overwrite the thread's last error, so it is set once the block is unlocked).
template <class Char, class Convert>
UINT QueryLocked(HDROP drop, UINT iFile, Char* buffer, UINT cch, Convert convert, DWORD* error) {
  const LockedDrop locked(drop);
  if (locked.Block() == nullptr) {
    *error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (iFile == kDragQueryCount) return CountNames(locked.Block(), locked.Size());
  bool wide = false;
  DropListEntry entry{};
  if (!FindName(drop, locked.Block(), locked.Size(), iFile, &wide, &entry)) {
    *error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::basic_string<Char> name;
  if (!convert(locked.Block(), wide, entry, &name)) {
    *error = ERROR_NO_UNICODE_TRANSLATION;
    return 0;
  }
  if (buffer == nullptr) return static_cast<UINT>(name.size());
  if (cch == 0) return 0;
  std::size_t copied = 0;
  if constexpr (sizeof(Char) == 1) {
    copied = CopyUtf8Cut(buffer, cch, name);
  } else {
    copied = std::min<std::size_t>(name.size(), cch - 1);
    // A surrogate pair is never split.
    if (copied > 0 && copied < name.size() && name[copied - 1] >= 0xD800 &&
        name[copied - 1] <= 0xDBFF)
      --copied;
    std::memcpy(buffer, name.data(), copied * sizeof(Char));
    buffer[copied] = 0;
  }
  return static_cast<UINT>(copied);
}

template <class Char, class Convert>
UINT QueryFile(HDROP drop, UINT iFile, Char* buffer, UINT cch, Convert convert) noexcept {
  DWORD error = ERROR_SUCCESS;
  UINT result = 0;
  try {
    result = QueryLocked(drop, iFile, buffer, cch, convert, &error);
  } catch (...) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  return result;
}

// IDataObject over one CF_HDROP block, copied out for every GetData.
class DropDataObject final : public ComObject<IDataObject> {
 public:
  DropDataObject(std::vector<std::string> paths, bool wide)
      : paths_(std::move(paths)), wide_(wide) {}

  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (format == nullptr || medium == nullptr) return E_INVALIDARG;
    *medium = {};
    const HRESULT query = QueryGetData(format);
    if (FAILED(query)) return query;
    medium->hGlobal = CreateDropFiles(paths_, wide_);
    if (medium->hGlobal == nullptr) return E_OUTOFMEMORY;
    medium->tymed = TYMED_HGLOBAL;
    return S_OK;
  }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC* format) override {
    if (format == nullptr) return E_INVALIDARG;
    if (format->cfFormat != CF_HDROP) return DV_E_FORMATETC;
    if (format->dwAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if ((format->tymed & TYMED_HGLOBAL) == 0) return DV_E_TYMED;
    return S_OK;
  }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC** enumerator) override {
    if (enumerator != nullptr) *enumerator = nullptr;
    return E_NOTIMPL;
  }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  HRESULT DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT EnumDAdvise(IEnumSTATDATA** enumerator) override {
    if (enumerator != nullptr) *enumerator = nullptr;
    return OLE_E_ADVISENOTSUPPORTED;
  }

 private:
  std::vector<std::string> paths_;
  bool wide_;
};

}  // namespace

bool ParseDropFiles(const BYTE* block, std::size_t size, DropList* list) noexcept {
  try {
    std::size_t offset = 0;
    bool wide = false;
    if (list == nullptr || !ReadHeader(block, size, &wide, &offset)) return false;
    list->wide = wide;
    list->names.clear();
    DropListEntry entry{};
    while (NextName(block, size, wide, offset, &entry)) {
      list->names.push_back(entry);
      offset = entry.offset + (entry.length + 1) * (wide ? 2 : 1);
    }
    return true;
  } catch (...) {
    return false;
  }
}

UINT DragQueryFileA(HDROP drop, UINT iFile, LPSTR buffer, UINT cch) noexcept {
  return QueryFile<char>(drop, iFile, buffer, cch, NameAsNarrow);
}

UINT DragQueryFileW(HDROP drop, UINT iFile, LPWSTR buffer, UINT cch) noexcept {
  return QueryFile<char16_t>(drop, iFile, buffer, cch, NameAsWide);
}

HGLOBAL CreateDropFiles(const std::vector<std::string>& paths, bool wide) noexcept {
  try {
    std::string list;
    for (const std::string& path : paths) {
      if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
      if (!wide) {
        list.append(path).push_back('\0');
        continue;
      }
      const int n = static_cast<int>(path.size());
      const int needed =
          MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), n, nullptr, 0);
      if (needed <= 0) return nullptr;
      std::u16string name(static_cast<std::size_t>(needed), u'\0');
      if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), n, name.data(), needed) !=
          needed)
        return nullptr;
      name.push_back(u'\0');
      list.append(reinterpret_cast<const char*>(name.data()), name.size() * 2);
    }
    list.append(wide ? 2 : 1, '\0');
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size());
    if (memory == nullptr) return nullptr;
    auto* block = static_cast<BYTE*>(GlobalLock(memory));
    if (block == nullptr) {
      (void)GlobalFree(memory);
      return nullptr;
    }
    DROPFILES header{};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = wide ? TRUE : FALSE;
    std::memcpy(block, &header, sizeof header);
    std::memcpy(block + sizeof header, list.data(), list.size());
    (void)GlobalUnlock(memory);
    return memory;
  } catch (...) {
    return nullptr;
  }
}

HRESULT CreateDropDataObject(const std::vector<std::string>& paths, bool wide,
                             IDataObject** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HGLOBAL probe = CreateDropFiles(paths, wide);
  if (probe == nullptr) return E_INVALIDARG;
  (void)GlobalFree(probe);
  try {
    return CreateComInstance<DropDataObject>(IDataObject::kIid, reinterpret_cast<void**>(out),
                                             paths, wide);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
