// A progress-dialog test fixture over real files with the real suite: a user "alice" enrolled
// with a key (and "bob" without one) in the test's own machine root, alice logged on in this
// process, and the headless user answering the dialogs. RunDialog runs one operation and
// returns what the dialog showed when it closed.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "engine/CProgressDlg.h"
#include "platform/Ole.h"
#include "platform/ui/Backend.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace engine_test {

namespace fs = std::filesystem;

inline std::string Bytes(size_t size, char seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(seed + i * 31 % 251);
  return out;
}

inline void WriteBytes(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool Present(const std::string& path) {
  return fs::symlink_status(path).type() != fs::file_type::not_found;
}

inline std::string Text(UINT id) { return LoadStringText(id); }

// What one run of the dialog left behind.
struct Outcome {
  INT_PTR result = 0;
  DialogState state;
  std::vector<std::vector<std::string>> rows;  // Filename, Status, File Location
  std::string Statuses() const {
    std::string out;
    for (const auto& row : rows) out += (out.empty() ? "" : " | ") + row.at(0) + ": " + row.at(1);
    return out;
  }
};

class ProgressDialogFixture : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    QvApp().InitInstance();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
    QvUserStore* store = QvSharedUserStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(qvtest::EnrollWithKey({"alice", ".\\alice", "Alice", QvAccountType::Computer}, "pw"),
              QvStoreStatus::Ok);
    ASSERT_EQ(store->Enroll({"bob", ".\\bob", "Bob", QvAccountType::Computer}, "pw2", nullptr),
              QvStoreStatus::Ok);
    ASSERT_EQ(StartSuiteServices(), 1);
    ASSERT_EQ(QvLogOnUser("alice", "pw"), QvLogOnResult::Passed);
    dir_ = root_.Sub("work");
    fs::create_directories(dir_);
  }
  void TearDown() override {
    QvLogOff();
    StopSuiteServices();
    QvApp().ExitInstance();
  }

  std::string P(const std::string& name) const { return dir_ + "/" + name; }

  static constexpr char kSentivoKeyName[] = "{0A1B2C3D-1111-4222-8333-444455556666}";
  // Makes the machine a Sentivo edition's, enrols "carol" (password "pw3") with a key named by
  // its GUID and labelled "DefaultKey", as that edition's keys are, and logs her on.
  void EnrollSentivoUser() {
    StopSuiteServices();
    QvUserStore* store = QvSharedUserStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
    const std::string guid = kSentivoKeyName;
    QvKey key;
    key.name = guid;
    key.label = "DefaultKey";
    DWORD length = 0;
    BYTE* blob = nullptr;
    ASSERT_TRUE(CreatePKISettings(guid.c_str(), &length, &blob));
    key.blob.assign(blob, blob + length);
    CoTaskMemFree(blob);
    ASSERT_EQ(store->Enroll({"carol", ".\\carol", "Carol", QvAccountType::Suite}, "pw3", &key),
              QvStoreStatus::Ok);
    ASSERT_EQ(StartSuiteServices(), 1);
    ASSERT_EQ(QvLogOnUser("carol", "pw3"), QvLogOnResult::Passed);
  }

  // `ui`: the user of this run when the test installed one of its own instead of ui_.
  Outcome RunDialog(std::vector<std::string> items, bool encrypt, const std::string& user = "alice",
                    const HeadlessBackend* ui = nullptr) {
    return RunRequest(Request(std::move(items), encrypt, user), ui);
  }
  // Drops `items` into the container at `container`, as if open in a view, as `user`; *used
  // gets the request as the dialog ended up acting on it.
  Outcome RunDrop(std::vector<std::string> items, const std::string& container,
                  const std::string& user, OperationRequest* used = nullptr) {
    OperationRequest request = Request(std::move(items), true, user);
    request.container = ContainerArguments{dir_, container, 0};
    return RunRequest(std::move(request), nullptr, used);
  }

 public:
  static OperationRequest Request(std::vector<std::string> items, bool encrypt,
                                  const std::string& user) {
    OperationRequest request;
    request.items = std::move(items);
    request.userId = user;
    request.userName = user;
    request.encrypt = encrypt;
    return request;
  }

 protected:
  Outcome RunRequest(OperationRequest request, const HeadlessBackend* ui = nullptr,
                     OperationRequest* used = nullptr) {
    CProgressDlg dialog(std::move(request));
    Outcome run;
    run.result = dialog.DoModal();
    if (used != nullptr) *used = dialog.Request();
    HeadlessBackend::ClosedDialog closed;
    EXPECT_TRUE((ui != nullptr ? *ui : ui_).LastClosed(IDD_PROGRESS, &closed));
    run.state = closed.state;
    if (const ControlState* list = run.state.Control(IDC_PROGRESS_LIST))
      for (const ListItemState& item : list->items) run.rows.push_back(item.texts);
    return run;
  }

  // Encrypts `name` (written with `content`) through the dialog; the .qvf path.
  std::string Encrypted(const std::string& name, const std::string& content) {
    WriteBytes(P(name), content);
    const Outcome run = RunDialog({P(name)}, true);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    return P(name) + ".qvf";
  }

  HeadlessUi ui_;
  std::string dir_;
};

}  // namespace engine_test
