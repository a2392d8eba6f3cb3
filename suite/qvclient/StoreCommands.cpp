// qvclient audit, settings and session-timeout, and what every command shares. Showing a
// setting or the time-out needs nothing; changing one needs the user's verification.
#include <strings.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "suite/QvUserApi.h"
#include "suite/qvclient/ClientCommands.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvverify/SuiteProgram.h"

int ClientUsage(const std::string& problem) {
  std::fprintf(stderr, "qvclient: %s\nTry 'qvclient --help'.\n", problem.c_str());
  return kClientUsage;
}

int ClientFailure(int code, const std::string& message) {
  std::fprintf(stderr, "qvclient: %s\n", message.c_str());
  return code;
}

int FindClientUser(QvUserStore& store, const std::optional<std::string>& user, QvUserInfo* info) {
  const std::string who = user ? *user : QvCurrentAccount().userName;
  const QvStoreStatus status = store.FindUser(who, info);
  if (status == QvStoreStatus::Ok) return kClientDone;
  if (status == QvStoreStatus::NotFound)
    return ClientFailure(kClientNotFound,
                         user ? "no enrolled user is named '" + Printable(who) + "'"
                              : Printable(who) + " is not enrolled; enroll with qvenroll");
  return ClientFailure(kClientStore, "cannot read the user store: " + store.LastError());
}

namespace {

QvUserStore* Store() {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) ClientFailure(kClientStore, "cannot open the user store: " + error);
  return store;
}

// Seconds since 1970, or a UTC date "YYYY-MM-DD" with an optional "THH:MM" or "THH:MM:SS".
bool ParseTime(const std::string& text, std::int64_t* seconds) {
  DWORD number = 0;
  if (ParseDword(text, &number)) {
    *seconds = number;
    return true;
  }
  std::tm parts{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail = 0;
  const int date = std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail);
  if (date == 4) {
    if (tail != 'T' && tail != ' ') return false;
    const std::string clock = text.substr(11);
    char end = 0;
    const int fields = std::sscanf(clock.c_str(), "%2d:%2d:%2d%c", &hour, &minute, &second, &end);
    if (fields != 2 && fields != 3) return false;
    if (fields == 2 && clock.size() != 5) return false;
    if (fields == 3 && clock.size() != 8) return false;
  } else if (date != 3 || text.size() != 10) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  *seconds = static_cast<std::int64_t>(timegm(&parts));
  return true;
}

std::string FormatTime(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         strcasecmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

std::string EventName(DWORD event, const std::string& path) {
  switch (event) {
    case 6:
      return "6 encrypt";
    case 7:
      // The extension's exported operation records both directions as 7; its path tells
      // which: an encrypted item was decrypted, a plain one encrypted.
      return EndsWithNoCase(path, ".qvf") || EndsWithNoCase(path, ".qvef") ? "7 decrypt"
                                                                           : "7 encrypt";
    case 8:
      return "8 sharing";
    default:
      return std::to_string(event);
  }
}

std::string ResultName(DWORD result) {
  if (result == kAuditResultSuccess) return "success";
  if (result == kAuditResultFailure) return "failure";
  return std::to_string(result);
}

}  // namespace

int ListAudit(const std::optional<std::string>& user, const std::optional<std::string>& event,
              const std::optional<std::string>& since, const std::optional<std::string>& limit) {
  QvAuditFilter filter;
  if (user) filter.userId = *user;
  if (event) {
    DWORD value = 0;
    if (!ParseDword(*event, &value)) return ClientUsage("--event takes a number");
    filter.eventType = value;
  }
  if (since) {
    std::int64_t value = 0;
    if (!ParseTime(*since, &value))
      return ClientUsage("--since takes seconds since 1970 or YYYY-MM-DD[THH:MM[:SS]] (UTC)");
    filter.since = value;
  }
  if (limit) {
    DWORD value = 0;
    if (!ParseDword(*limit, &value) || value == 0)
      return ClientUsage("--limit takes a number above 0");
    filter.limit = value;
  }
  QvUserStore* store = Store();
  if (store == nullptr) return kClientStore;
  std::vector<QvAuditEntry> entries;
  if (store->QueryAudit(filter, &entries) != QvStoreStatus::Ok)
    return ClientFailure(kClientStore, "cannot read the audit records: " + store->LastError());
  std::printf("%-20s  %-11s  %-11s  %-9s  %-7s  %s\n", "TIME (UTC)", "USER", "MACHINE", "EVENT",
              "RESULT", "PATH");
  for (const QvAuditEntry& entry : entries)
    std::printf("%-20s  %-11s  %-11s  %-9s  %-7s  %s\n", FormatTime(entry.time).c_str(),
                Printable(entry.userId).c_str(), Printable(entry.machine).c_str(),
                EventName(entry.eventType, entry.path).c_str(), ResultName(entry.result).c_str(),
                Printable(entry.path).c_str());
  return kClientDone;
}

int Settings(const std::optional<std::string>& user, const std::vector<std::string>& operands) {
  if (operands.empty()) return ClientUsage("settings needs 'get' or 'set'");
  const std::string& action = operands[0];
  const bool get = action == "get";
  if (!get && action != "set")
    return ClientUsage("settings takes 'get' or 'set', not '" + Printable(action) + "'");
  if (get && operands.size() != 3) return ClientUsage("settings get needs CATEGORY ID");
  if (!get && operands.size() != 4) return ClientUsage("settings set needs CATEGORY ID VALUE");
  DWORD category = 0, id = 0;
  if (!ParseDword(operands[1], &category) || !ParseDword(operands[2], &id))
    return ClientUsage("CATEGORY and ID are numbers");
  QvUserStore* store = Store();
  if (store == nullptr) return kClientStore;
  QvUserInfo info;
  if (const int found = FindClientUser(*store, user, &info); found != kClientDone) return found;
  if (get) {
    std::string value;
    const QvStoreStatus status = store->ReadSetting(info.userId, category, id, nullptr, &value);
    if (status == QvStoreStatus::NotFound)
      return ClientFailure(kClientNotFound, "setting " + operands[1] + "/" + operands[2] +
                                                " is not set for " + Printable(info.userId));
    if (status != QvStoreStatus::Ok)
      return ClientFailure(kClientStore, "cannot read the setting: " + store->LastError());
    std::printf("%s\n", Printable(value).c_str());
    return kClientDone;
  }
  const std::string& value = operands[3];
  if (value.size() > kMaxSettingLength) return ClientUsage("VALUE is longer than 65536 bytes");
  return RunAsVerifiedUser(info, "Change Setting", "Enter your password to change a setting.",
                           "the setting", [&](QvUserStore& verified, const QvMasterKey& key) {
                             return verified.WriteSetting(info.userId, category, id, value, &key);
                           });
}

int SessionTimeout(const std::optional<std::string>& user,
                   const std::optional<std::string>& seconds) {
  DWORD value = 0;
  if (seconds && (!ParseDword(*seconds, &value) || value > 0xFFFFFFFFu / 1000))
    return ClientUsage("SECONDS is a number up to 4294967");
  QvUserStore* store = Store();
  if (store == nullptr) return kClientStore;
  QvUserInfo info;
  if (const int found = FindClientUser(*store, user, &info); found != kClientDone) return found;
  if (!seconds) {
    std::printf("%u\n", static_cast<unsigned>(info.sessionTimeoutMs / 1000));
    return kClientDone;
  }
  return RunAsVerifiedUser(
      info, "Session Time-out", "Enter your password to change your session time-out.",
      "the session time-out", [&](QvUserStore& verified, const QvMasterKey& key) {
        return verified.SetSessionTimeout(info.userId, value * 1000, &key);
      });
}
