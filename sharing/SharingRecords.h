// What the sharing rules and the sharing dialog both read: the user-data object, a user's
// settings and sharing key, and a container's protection record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "container/FolderContainer.h"
#include "suite/QvUserApi.h"

// The services normally run when sharing is asked about; when they do not, the user-data
// object is asked for directly rather than taking every setting for absent. Null when even
// that fails.
CUserData* SharingUserData();

// A user setting as text; empty when it is not set.
std::string ReadUserSetting(CUserData& userData, const char* userId, DWORD id);

// A user's sharing key, released with the object.
class ShareKey {
 public:
  explicit ShareKey(CUserData& userData) : userData_(userData) {
    userData_.InitShareKeyRecord(&record_);
  }
  ~ShareKey() { userData_.ReleaseShareKeyRecord(&record_); }
  ShareKey(const ShareKey&) = delete;
  ShareKey& operator=(const ShareKey&) = delete;

  // True when the user has a key (for the user verified in this process: with its secret).
  bool Read(const char* userId) {
    record_.type = kKeyTypeUser;
    return userData_.ReadShareKey(userId, &record_, 0) && record_.blob != nullptr &&
           record_.blobLength != 0;
  }
  const BYTE* Blob() const { return record_.blob; }
  DWORD Length() const { return record_.blobLength; }

 private:
  CUserData& userData_;
  ShareKeyRecord record_{};
};

// The CSP name field of a container's protection record.
inline constexpr std::size_t kCspNameSize = 1024;

// The protection record of an open container, kept with its CSP name so that it can be
// written back unchanged but for its users.
struct ContainerRecord {
  std::vector<BYTE> header;
  char cspName[kCspNameSize] = {};
};

// Opens the container at `path` (never creating one) and reads its protection record.
bool OpenContainerRecord(FolderContainer& container, const std::string& path,
                         ContainerRecord* record);
