// Who runs this process, in the suite's terms: the Linux login as the account name
// ".\<login>" ("." is this computer, as the extension writes local accounts), the name to
// show, and the user id a new enrollment suggests. Also this computer's host name.
#pragma once

#include <string>
#include <string_view>

#include "suite/SuiteExport.h"

struct QvAccount {
  std::string login;
  std::string userName;     // ".\<login>"
  std::string displayName;  // the first field of the account's comment, else the login
  std::string suggestedUserId;
};

// The account of the real user id of the process. A user id without a password entry gets
// the login "uid<number>".
QV_SUITE_API QvAccount QvCurrentAccount();

// The host name, "localhost" when it cannot be read.
QV_SUITE_API std::string QvHostName();

// A user id made from a login: letters, digits, '.', '_' and '-' kept, everything else left
// out, cut to 11 characters; "user" when nothing is left.
QV_SUITE_API std::string QvUserIdFromLogin(std::string_view login);

// A user name in the store's form: "<host>\name" for this host becomes ".\name" (letter case
// of the host does not count); anything else is returned unchanged.
QV_SUITE_API std::string QvNormalizeUserName(std::string_view userName);
