// GetDateFormatA and GetTimeFormatA over the C library's LC_TIME formats.
#include "platform/DateFormat.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/LastError.h"
#include "platform/UserLocale.h"

namespace {

// The C library's locale for LC_TIME, made once per thread and made again when the
// environment names another one (a view formats a date for every row it shows).
class TimeLocale {
 public:
  TimeLocale() {
    const std::string name = UserLocaleName("LC_TIME");
    if (handle_ != static_cast<locale_t>(0) && name == name_) return;
    if (handle_ != static_cast<locale_t>(0)) freelocale(handle_);
    name_ = name;
    handle_ = newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(0));
    if (handle_ == static_cast<locale_t>(0))
      handle_ = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }
  locale_t Get() const { return handle_; }

 private:
  struct Held {
    ~Held() {
      if (handle != static_cast<locale_t>(0)) freelocale(handle);
    }
    locale_t handle = static_cast<locale_t>(0);
    std::string name;
  };
  static thread_local Held held_;
  locale_t& handle_ = held_.handle;
  std::string& name_ = held_.name;
};

thread_local TimeLocale::Held TimeLocale::held_;

// The locale's time format without its seconds: "%T" -> "%H:%M", "%r" -> "%I:%M %p", and a
// seconds field with the separator before it removed.
std::string WithoutSeconds(std::string format) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      const char field = format[i + 1];
      if (field == 'T') {
        out += "%H:%M";
      } else if (field == 'r') {
        out += "%I:%M %p";
      } else if (field == 'S') {
        if (!out.empty() && (out.back() == ':' || out.back() == '.')) out.pop_back();
      } else {
        out += format.substr(i, 2);
      }
      ++i;
      continue;
    }
    out += format[i];
  }
  return out;
}

int Format(const SYSTEMTIME* time, LPCSTR format, LPSTR buffer, int size, bool date, DWORD flags) {
  if (time == nullptr || format != nullptr || size < 0 || (size > 0 && buffer == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  FILETIME check{};
  if (!SystemTimeToFileTime(time, &check)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TimeLocale locale;
  if (locale.Get() == static_cast<locale_t>(0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string pattern;
  if (date) {
    pattern = nl_langinfo_l(D_FMT, locale.Get());
  } else {
    pattern = nl_langinfo_l(T_FMT, locale.Get());
    if (pattern.empty()) pattern = "%H:%M:%S";
    if ((flags & TIME_NOSECONDS) != 0) pattern = WithoutSeconds(pattern);
  }
  std::tm fields{};
  fields.tm_year = time->wYear - 1900;
  fields.tm_mon = time->wMonth - 1;
  fields.tm_mday = time->wDay;
  fields.tm_hour = time->wHour;
  fields.tm_min = time->wMinute;
  fields.tm_sec = time->wSecond;
  fields.tm_wday = time->wDayOfWeek;
  char text[256];
  const size_t length = strftime_l(text, sizeof text, pattern.c_str(), &fields, locale.Get());
  if (length == 0 && !pattern.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(length) + 1;
  if (size == 0) return needed;
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text, length + 1);
  return needed;
}

}  // namespace

int GetDateFormatA(LCID, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR buffer,
                   int size) noexcept {
  try {
    return Format(time, format, buffer, size, true, flags);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

int GetTimeFormatA(LCID, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR buffer,
                   int size) noexcept {
  try {
    return Format(time, format, buffer, size, false, flags);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}
