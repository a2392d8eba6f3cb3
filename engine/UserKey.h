// The user's key record of a given name, read from the user-data object and released with
// the object: what the access checks before a decryption or a container view hand to the
// file-encryption library.
#pragma once

#include <string>

#include "suite/QvUserApi.h"

// The user's key record named `keyName`, released when it goes.
class UserKey {
 public:
  UserKey(CUserData& userData, const std::string& userId, const std::string& keyName)
      : userData_(userData), keyName_(keyName) {
    userData_.InitKeyRecord(&record_);
    Read(userId);
  }
  ~UserKey() {
    if (record_.keyName == keyName_.data()) record_.keyName = nullptr;
    userData_.ReleaseKeyRecord(&record_);
  }
  UserKey(const UserKey&) = delete;
  UserKey& operator=(const UserKey&) = delete;

  bool Read(const std::string& userId) {
    if (record_.keyName == nullptr || record_.keyName == keyName_.data())
      record_.keyName = keyName_.data();
    record_.type = kKeyTypeUser;
    found_ = userData_.ReadKey(userId.c_str(), &record_, 0) != FALSE;
    return found_;
  }
  bool Found() const { return found_; }
  const KeyRecord& Get() const { return record_; }

 private:
  CUserData& userData_;
  std::string keyName_;
  KeyRecord record_{};
  bool found_ = false;
};
