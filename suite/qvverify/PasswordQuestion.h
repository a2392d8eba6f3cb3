// What a password prompt of the suite asks: the question that both the password dialog and
// the sources of a password without a dialog (PasswordSource.h) are given.
#pragma once

#include <string>

struct QvPasswordQuestion {
  std::string title;    // the dialog's caption
  std::string prompt;   // what the password is for
  std::string account;  // the user name shown, empty for none
  bool choose = false;  // a new password: typed twice, must match and not be empty
  // The password of an exported key file: it protects the key off this machine, so the
  // log-on password's file or standard input never answers it (PasswordSource.h).
  bool keyFile = false;
};
