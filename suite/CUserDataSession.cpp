// The session accessors of CUserData. They are compiled into the user-data library, whose
// objects' virtual tables need them, and into the product, which exports them to the
// suite's programs.
#include <time.h>

#include "suite/QvUserApi.h"

CUserData::~CUserData() = default;

DWORD CUserData::GetUserSessionTimeOutVal() { return sessionTimeOut_; }

void CUserData::SetUserSessionTimeStart() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  sessionTimeStart_ = static_cast<DWORD>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

DWORD CUserData::GetUserSessionTimeStart() { return sessionTimeStart_; }
