// The identity, verification and audit steps of an operation.
#include "engine/OperationFrame.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "engine/VerifyUserGate.h"
#include "platform/FileTime.h"
#include "platform/Kernel.h"

namespace {

constexpr WORD kKoreanPrimaryLanguage = 0x12;
constexpr DWORD kKoreanPromptOem = 6;

std::int64_t SecondsNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  if (!FileTimeToUnixTime(&now, &seconds, &nanoseconds)) return 0;
  return seconds;
}

}  // namespace

CurrentIdentity::CurrentIdentity(CUserData& userData) : userData_(userData) {
  (void)userData_.InitUserIdentity(&identity_);
}

CurrentIdentity::~CurrentIdentity() { userData_.ReleaseUserIdentity(&identity_); }

std::string VerificationPrompt() {
  const bool korean = PRIMARYLANGID(GetSystemDefaultLangID()) == kKoreanPrimaryLanguage &&
                      QvApp().oemId == kKoreanPromptOem;
  return LoadStringText(korean ? IDS_VERIFY_PROMPT_KOREAN : IDS_VERIFY_PROMPT);
}

int VerifyForOperation(CurrentIdentity& identity, bool encrypt) {
  const std::string title = LoadStringText(IDS_VERIFY_TITLE);
  const std::string prompt = VerificationPrompt();
  return VerifyUserGate(identity.Get(), title.c_str(), prompt.c_str(), encrypt ? TRUE : FALSE,
                        FALSE);
}

bool WriteOperationAudit(CUserData& userData, const std::string& userId, DWORD event,
                         const std::string& item, DWORD result) {
  AuditRecord record{};
  userData.InitAuditRecord(&record);
  static_assert(sizeof record.machine == sizeof QvApp().machineInfo.id);
  std::memcpy(record.machine, QvApp().machineInfo.id, sizeof record.machine);
  record.eventType = event;
  record.result = result;
  std::snprintf(record.path, sizeof record.path, "%s", item.c_str());
  record.time = SecondsNow();
  const bool written = userData.WriteAuditRecord(userId.c_str(), &record) != FALSE;
  userData.ReleaseAuditRecord(&record);
  return written;
}
