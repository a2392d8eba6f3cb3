// The process's table of registered clipboard format names.
#include "platform/ole/ClipboardFormats.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/LastError.h"
#include "platform/Utf8.h"
#include "platform/ole/TextConversion.h"

namespace {

constexpr std::size_t kMaxNameBytes = 255;
constexpr std::size_t kFormatCount = 0x10000 - kFirstRegisteredFormat;

struct FormatTable {
  std::mutex lock;
  std::vector<std::string> names;  // format kFirstRegisteredFormat + i is names[i]
};

FormatTable& Table() {
  static FormatTable* table = new FormatTable;  // outlives every static that registers late
  return *table;
}

}  // namespace

UINT RegisterClipboardFormatA(LPCSTR name) noexcept {
  if (name == nullptr || name[0] == '\0' || std::char_traits<char>::length(name) > kMaxNameBytes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    FormatTable& table = Table();
    const std::lock_guard<std::mutex> guard(table.lock);
    for (std::size_t i = 0; i < table.names.size(); ++i)
      if (EqualsIgnoringAsciiCase(table.names[i], name))
        return static_cast<UINT>(kFirstRegisteredFormat + i);
    if (table.names.size() == kFormatCount) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    table.names.emplace_back(name);
    return static_cast<UINT>(kFirstRegisteredFormat + table.names.size() - 1);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

UINT RegisterClipboardFormatW(LPCWSTR name) noexcept {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char narrow[kMaxNameBytes + 1];
  const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, narrow,
                                        static_cast<int>(sizeof narrow), nullptr, nullptr);
  if (bytes <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return RegisterClipboardFormatA(narrow);
}

int GetClipboardFormatNameA(UINT format, LPSTR buffer, int cch) noexcept {
  if (buffer == nullptr || cch <= 0 || format < kFirstRegisteredFormat || format > 0xFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  FormatTable& table = Table();
  const std::lock_guard<std::mutex> guard(table.lock);
  const std::size_t index = format - kFirstRegisteredFormat;
  if (index >= table.names.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  CopyUtf8Cut(buffer, static_cast<std::size_t>(cch), table.names[index].c_str());
  return static_cast<int>(std::char_traits<char>::length(buffer));
}
