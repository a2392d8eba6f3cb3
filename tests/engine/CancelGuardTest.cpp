// A Cancel that comes while an item's library call runs undoes only what that call made: a
// file the user already had under the output's name stays.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "base/ItemStatus.h"
#include "platform/ui/WindowApi.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace {

using namespace engine_test;

// Clicks Cancel the moment an item's row shows `startText`, before its library call starts,
// so the call runs with Cancel already pressed (whatever it returns, the item is cancelled).
class CancelAtRowStart : public HeadlessUi {
 public:
  explicit CancelAtRowStart(std::string startText) : startText_(std::move(startText)) {}
  void ControlChanged(const ControlChange& change) override {
    HeadlessUi::ControlChanged(change);
    if (pressed || change.templateId != IDD_PROGRESS || change.kind != ChangeKind::ListItemText ||
        change.column != 1 || change.text != startText_)
      return;
    pressed = true;
    (void)SendMessageA(GetDlgItem(change.dialog, IDCANCEL), BM_CLICK, 0, 0);
  }
  bool pressed = false;

 private:
  std::string startText_;
};

class CancelGuardTest : public ProgressDialogFixture {};

TEST_F(CancelGuardTest, ACancelledEncryptionKeepsTheUsersOwnEncryptedFile) {
  WriteBytes(P("a.txt"), "plain");
  WriteBytes(P("a.txt.qvf"), "the user's own");
  CancelAtRowStart user(Text(IDS_ENCRYPTING));
  const Outcome run = RunDialog({P("a.txt")}, true, "alice", &user);
  ASSERT_TRUE(user.pressed);
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0][1], Text(MessageIdForStatus(StatusCancelled)));
  EXPECT_EQ(ReadBytes(P("a.txt.qvf")), "the user's own");
  EXPECT_EQ(ReadBytes(P("a.txt")), "plain");

  // Without a file in the way, what the cancelled call wrote goes and the plain file stays.
  fs::remove(P("a.txt.qvf"));
  CancelAtRowStart again(Text(IDS_ENCRYPTING));
  EXPECT_EQ(RunDialog({P("a.txt")}, true, "alice", &again).result, IDCANCEL);
  ASSERT_TRUE(again.pressed);
  EXPECT_FALSE(Present(P("a.txt.qvf")));
  EXPECT_EQ(ReadBytes(P("a.txt")), "plain");
}

// A dialog whose library call is cancelled while the user puts a file of their own under the
// output's name: the call is asked whether to stop only after the engine looked at that name.
class NameTakenDuringTheCall : public CProgressDlg {
 public:
  NameTakenDuringTheCall(OperationRequest request, std::string taken, std::string content)
      : CProgressDlg(std::move(request)), taken_(std::move(taken)), content_(std::move(content)) {}
  DWORD IsCancelled() override {
    if (!written_.exchange(true)) WriteBytes(taken_, content_);
    return 1;
  }

 private:
  std::string taken_, content_;
  std::atomic<bool> written_{false};
};

TEST_F(CancelGuardTest, AFileTheUserMakesUnderTheOutputsNameDuringACancelledCallStays) {
  for (const bool encrypt : {true, false}) {
    SCOPED_TRACE(encrypt ? "encryption" : "decryption");
    const std::string source = encrypt ? P("b.txt") : Encrypted("b.txt", "to decrypt");
    if (encrypt) WriteBytes(source, std::string(3 << 20, 'x'));
    const std::string output = encrypt ? P("b.txt.qvf") : P("b.txt");
    const std::string before = ReadBytes(source);
    NameTakenDuringTheCall dialog(Request({source}, encrypt, "alice"), output,
                                  "made by the user meanwhile");
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);  // OK under the rows, if the dialog waits
    (void)dialog.DoModal();
    EXPECT_EQ(ReadBytes(output), "made by the user meanwhile");
    EXPECT_EQ(ReadBytes(source), before);
    fs::remove(output);
  }
}

}  // namespace
