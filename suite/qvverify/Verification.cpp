// Password verification (see Verification.h).
#include "suite/qvverify/Verification.h"

#include <sodium.h>

#include <array>
#include <map>
#include <mutex>
#include <set>

#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "platform/SecureMemory.h"
#include "suite/QvUserApi.h"
#include "suite/qvverify/PasswordSource.h"

namespace {

using Digest = std::array<unsigned char, crypto_generichash_BYTES>;

std::mutex g_lock;
// Users being verified by a thread of this process: the named mutex is recursive for its
// owning thread, so a nested verification on the same thread is caught here.
std::set<std::string>* g_active = new std::set<std::string>;
// The digest of the last password a non-interactive source gave for a user and the store
// refused: the same answer again cannot pass, so asking again would loop for ever.
std::map<std::string, Digest>* g_refused = new std::map<std::string, Digest>;

Digest DigestOf(const std::string& userId, std::string_view password) {
  Digest digest{};
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, digest.size());
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(userId.data()),
                            userId.size() + 1);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()),
                            password.size());
  crypto_generichash_final(&state, digest.data(), digest.size());
  return digest;
}

// Holds the user's verification lock for one verification.
class VerificationLock {
 public:
  explicit VerificationLock(const std::string& userId) : key_(ToLowerAscii(userId)) {
    {
      std::lock_guard<std::mutex> guard(g_lock);
      if (!g_active->insert(key_).second) return;
      inSet_ = true;
    }
    mutex_ = CreateMutexA(nullptr, FALSE, QvVerificationLockName(userId).c_str());
    if (mutex_ == nullptr) return;
    const DWORD wait = WaitForSingleObject(mutex_, 0);
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  }
  ~VerificationLock() {
    if (held_) (void)ReleaseMutex(mutex_);
    if (mutex_ != nullptr) CloseHandle(mutex_);
    if (inSet_) {
      std::lock_guard<std::mutex> guard(g_lock);
      g_active->erase(key_);
    }
  }
  VerificationLock(const VerificationLock&) = delete;
  VerificationLock& operator=(const VerificationLock&) = delete;

  bool Held() const { return held_; }

 private:
  std::string key_;
  bool inSet_ = false;
  HANDLE mutex_ = nullptr;
  bool held_ = false;
};

}  // namespace

std::string QvVerificationLockName(const std::string& userId) {
  return "QuorvinVerify-" + ToLowerAscii(userId);
}

DWORD QvRunVerification(const QvVerifyRequest& request, DWORD* outWord) {
  DWORD ignored = 0;
  DWORD& out = outWord != nullptr ? *outWord : ignored;
  out = kVerifyOutAnswered;
  if (request.userId == nullptr) return kVerifyDevicesMissing;
  const std::string userId = request.userId;
  VerificationLock lock(userId);
  if (!lock.Held()) return kVerifyBusy;

  switch (QvUserCanVerify(userId.c_str())) {
    case QvLogOnResult::Passed:
      break;
    case QvLogOnResult::NoPassword:
      return kVerifyDevicesMissing;
    case QvLogOnResult::UnknownUser:
      // Nobody to ask for: asking again would not make the user known.
      out = kVerifyOutNoInput;
      return kVerifyNotValidated;
    default:
      out = kVerifyOutNoInput;
      return kVerifyDevicesMissing;
  }

  QvPasswordQuestion question;
  question.title = request.title != nullptr ? request.title : "";
  question.prompt = request.prompt != nullptr ? request.prompt : "";
  question.account = request.userName != nullptr ? request.userName : "";
  QvPasswordReply reply = QvAskPassword(question);
  if (reply.answer == QvPasswordAnswer::Cancelled) {
    out = kVerifyOutCancelled;
    return kVerifyNotValidated;
  }
  if (reply.answer != QvPasswordAnswer::Given) {
    // No terminal, or a password file that cannot be used: the means of answering is not
    // ready now, which is not the same as a user without any.
    out = kVerifyOutNoInput;
    return kVerifyBusy;
  }
  const std::string key = ToLowerAscii(userId);
  Digest digest{};
  if (reply.nonInteractive) {
    digest = DigestOf(key, reply.password.View());
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_refused->find(key);
    if (it != g_refused->end() && it->second == digest) {
      out = kVerifyOutNoInput;
      return kVerifyNotValidated;
    }
  }
  const QvLogOnResult result = QvLogOnUser(userId.c_str(), reply.password.View());
  reply.password.Clear();
  switch (result) {
    case QvLogOnResult::Passed: {
      std::lock_guard<std::mutex> guard(g_lock);
      g_refused->erase(key);
      return kVerifyPassed;
    }
    case QvLogOnResult::WrongPassword:
      if (reply.nonInteractive) {
        std::lock_guard<std::mutex> guard(g_lock);
        (*g_refused)[key] = digest;
      }
      return kVerifyNotValidated;
    case QvLogOnResult::NoPassword:
      return kVerifyDevicesMissing;
    case QvLogOnResult::UnknownUser:
      out = kVerifyOutNoInput;
      return kVerifyNotValidated;
    case QvLogOnResult::Failed:
      break;
  }
  out = kVerifyOutNoInput;
  return kVerifyDevicesMissing;
}

int QvAskOtherPassword(const char* title, const char* prompt, std::string* password) {
  if (password == nullptr) return -1;
  QvPasswordQuestion question;
  question.title = title != nullptr ? title : "";
  question.prompt = prompt != nullptr ? prompt : "";
  question.keyFile = true;
  QvPasswordReply reply = QvAskPassword(question);
  switch (reply.answer) {
    case QvPasswordAnswer::Given:
      // The caller's text is the user-data object's; the guarded copy is wiped here.
      QvWipe(*password);
      password->assign(reply.password.View());
      return IDOK;
    case QvPasswordAnswer::Cancelled:
      return IDCANCEL;
    case QvPasswordAnswer::Unavailable:
      break;
  }
  return -1;
}
