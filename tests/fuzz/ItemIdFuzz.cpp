// Fuzzes the item-identifier parser and the list walk over it: no input may make them read
// outside the bytes given, whatever they accept must hold together (texts inside the
// identifier, one valid name, a folder with its id), and an accepted identifier rebuilt from
// its fields must read back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/shell/ItemIdList.h"
#include "base/ContainerItemId.h"

namespace {

bool Inside(const std::uint8_t* start, std::size_t size, std::string_view text) {
  const auto* first = reinterpret_cast<const std::uint8_t*>(text.data());
  return first >= start && first + text.size() < start + size;
}

void CheckItem(const std::uint8_t* id, std::size_t available, const ContainerItem& item) {
  std::uint16_t cb;
  std::memcpy(&cb, id, 2);
  if (cb > available || !ContainerItemId::IsValidName(item.name)) std::abort();
  if (!Inside(id, cb, item.name)) std::abort();
  if (item.hasStoredPath && !Inside(id, cb, item.storedPath)) std::abort();
  if (item.IsFolder() && item.folderId == 0) std::abort();

  ContainerItemFields fields;
  fields.folderId = item.folderId;
  fields.secondId = item.secondId;
  fields.size = item.size;
  fields.dateWord = item.dateWord;
  fields.timeWord = item.timeWord;
  fields.attributes = item.attributes;
  fields.version = item.version;
  fields.name = std::string(item.name);
  fields.storedPath = std::string(item.storedPath);
  LPITEMIDLIST rebuilt = ContainerItemId::Create(fields);
  if (rebuilt == nullptr) {
    // Only texts longer than an identifier may hold are refused.
    if (item.name.size() <= itemid::kMaxTextLength &&
        item.storedPath.size() <= itemid::kMaxTextLength)
      std::abort();
    return;
  }
  ContainerItem again;
  if (ContainerItemId::ReadFirst(rebuilt, &again) != S_OK || again.name != item.name ||
      again.storedPath != item.storedPath || again.folderId != item.folderId)
    std::abort();
  FILETIME time;
  (void)ContainerItemId::LastWriteTimeUtc(again, &time);
  if (ContainerItemId::Compare(item, again, 3) != 0) std::abort();
  ILFree(rebuilt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so that any read past it is caught.
  std::vector<std::uint8_t> bytes(data, data + size);
  const std::uint8_t* start = bytes.data();

  ContainerItem item;
  if (ContainerItemId::Parse(start, size, &item) == S_OK) CheckItem(start, size, item);

  // The list walk: only a list wholly inside the input is read identifier by identifier.
  const auto list = reinterpret_cast<LPCITEMIDLIST>(start);
  const UINT listSize = size >= 2 ? ILGetSizeBounded(list, size) : 0;
  if (listSize == 0) return 0;
  if (listSize > size) std::abort();
  UINT count = 0;
  if (ContainerItemId::CheckList(list, &count) == S_OK) {
    if (count != ILCount(list)) std::abort();
    ContainerItem last;
    if (ContainerItemId::ReadLast(list, &last) != S_OK) std::abort();
    const auto* lastId = reinterpret_cast<const std::uint8_t*>(ILFindLastID(list));
    CheckItem(lastId, static_cast<std::size_t>(start + size - lastId), last);
  }
  LPITEMIDLIST copy = ILClone(list);
  if (copy != nullptr && ILGetSize(copy) != listSize) std::abort();
  ILFree(copy);
  return 0;
}
