// Fuzzes the file group descriptor parser in both forms: no input may make it read outside
// the block, a group it accepts must fit the block, and a group it accepts rebuilt and parsed
// again gives the same names.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/shell/FileGroupDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const bool wide : {false, true}) {
    std::vector<FileGroupEntry> entries;
    if (!ParseFileGroupDescriptor(data, size, wide, &entries)) {
      if (!entries.empty()) std::abort();
      continue;
    }
    const std::size_t record = wide ? sizeof(FILEDESCRIPTORW) : sizeof(FILEDESCRIPTORA);
    if (4 + entries.size() * record > size) std::abort();
    bool rebuildable = true;
    for (const FileGroupEntry& entry : entries) {
      if (entry.name.size() >= (wide ? 4 : 1) * kDescriptorNameChars) std::abort();
      if (entry.name.empty()) rebuildable = false;
    }
    HGLOBAL block = CreateFileGroupDescriptor(entries, wide);
    if (rebuildable && wide && block == nullptr) std::abort();
    if (block == nullptr) continue;
    std::vector<FileGroupEntry> again;
    if (!ReadFileGroupDescriptor(block, wide, &again) || again.size() != entries.size())
      std::abort();
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (again[i].name != entries[i].name || again[i].size != entries[i].size) std::abort();
    (void)GlobalFree(block);
  }
  return 0;
}
