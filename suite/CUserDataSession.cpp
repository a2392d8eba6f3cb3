// The session accessors of CUserData. They are compiled into the user-data library, whose
// objects' virtual tables need them, and into the product, which exports them to the
// suite's programs.
#include "platform/Kernel.h"
#include "suite/QvUserApi.h"

CUserData::~CUserData() = default;

DWORD CUserData::GetUserSessionTimeOutVal() { return sessionTimeOut_; }

void CUserData::SetUserSessionTimeStart() { sessionTimeStart_ = GetTickCount(); }

DWORD CUserData::GetUserSessionTimeStart() { return sessionTimeStart_; }
