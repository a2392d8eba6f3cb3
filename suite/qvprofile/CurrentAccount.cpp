// The current Linux account and the host name (see CurrentAccount.h). The suite's own
// libraries read the password database directly; the product asks them.
#include "suite/qvprofile/CurrentAccount.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "suite/qvprofile/UserNames.h"

namespace {

bool IsControlFree(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace

QvAccount QvCurrentAccount() {
  QvAccount account;
  const uid_t uid = getuid();
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0' && IsControlFree(found->pw_name)) {
    account.login = found->pw_name;
    if (found->pw_gecos != nullptr) {
      std::string gecos(found->pw_gecos);
      gecos = gecos.substr(0, gecos.find(','));
      if (!gecos.empty() && IsControlFree(gecos)) account.displayName = gecos;
    }
  } else {
    account.login = "uid" + std::to_string(uid);
  }
  if (account.displayName.empty()) account.displayName = account.login;
  account.userName = ".\\" + account.login;
  account.suggestedUserId = QvUserIdFromLogin(account.login);
  return account;
}

std::string QvHostName() {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof host;
  if (!GetComputerNameA(host, &size)) return "localhost";
  return host;
}

std::string QvUserIdFromLogin(std::string_view login) {
  std::string id;
  for (const char c : login) {
    const bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
                      ((c == '.' || c == '-') && !id.empty());
    if (kept && static_cast<unsigned char>(c) < 0x80) id.push_back(c);
    if (id.size() == kMaxUserIdLength) break;
  }
  return id.empty() ? std::string("user") : id;
}

std::string QvNormalizeUserName(std::string_view userName) {
  const size_t slash = userName.find('\\');
  if (slash == std::string_view::npos) return std::string(userName);
  const std::string_view domain = userName.substr(0, slash);
  if (domain != "." && EqualsIgnoringAsciiCase(domain, QvHostName()))
    return ".\\" + std::string(userName.substr(slash + 1));
  return std::string(userName);
}
