// The progress dialog over real files with the real suite: a user enrolled with a key in the
// test's own machine root and logged on in this process; the headless user answers the
// dialogs. Files of several sizes go through encryption and back, and the failure paths
// (no key, links, refused replacements, Cancel, a failing decryption over an existing file)
// leave every file as it was; a read-only source still goes once it is stored.
#include "platform/Files.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace {

using namespace engine_test;
namespace fs = std::filesystem;

class CProgressDlgTest : public ProgressDialogFixture {};

TEST_F(CProgressDlgTest, FilesOfEverySizeGoThroughAndBackAndTheDialogClosesByItself) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.txt", ""}, {"small.txt", "hello, world"}, {"big.bin", Bytes((1u << 20) + 1, 7)}};
  std::vector<std::string> plain, encrypted;
  for (const auto& [name, content] : files) {
    WriteBytes(P(name), content);
    plain.push_back(P(name));
    encrypted.push_back(P(name) + ".qvf");
  }

  Outcome run = RunDialog(plain, true);
  EXPECT_EQ(run.result, IDOK);
  EXPECT_EQ(run.state.caption, Text(IDS_ENCRYPTING_FILES));
  EXPECT_EQ(run.state.icon, "resource:209");
  const ControlState* list = run.state.Control(IDC_PROGRESS_LIST);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->columns.size(), 3u);
  EXPECT_EQ(list->columns[0].title, Text(IDS_FILENAME));
  EXPECT_EQ(list->columns[1].title, Text(IDS_STATUS));
  EXPECT_EQ(list->columns[2].title, Text(IDS_FILE_LOCATION));
  EXPECT_EQ(run.state.Control(IDC_PROGRESS_ANIMATION)->animation, 704u);
  ASSERT_EQ(run.rows.size(), 3u) << run.Statuses();
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(run.rows[i], (std::vector<std::string>{files[i].first, Text(IDS_SUCCESS), dir_}));
    EXPECT_FALSE(Present(plain[i])) << plain[i];
    EXPECT_TRUE(fs::is_regular_file(encrypted[i])) << encrypted[i];
  }
  EXPECT_NE(ReadBytes(encrypted[2]).find("hello"), 0u);

  run = RunDialog(encrypted, false);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(run.state.caption, Text(IDS_DECRYPTING_FILES));
  ASSERT_EQ(run.rows.size(), 3u);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(run.rows[i][1], Text(IDS_SUCCESS));
    EXPECT_EQ(ReadBytes(plain[i]), files[i].second) << plain[i];
    EXPECT_FALSE(Present(encrypted[i]));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);
}

TEST_F(CProgressDlgTest, AFailureStopsThePassAndLeavesTheDialogOpenWithOk) {
  WriteBytes(P("a.txt"), "a");
  const std::string qvf = Encrypted("b.txt", "b");
  const std::string before = ReadBytes(qvf);
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  // Decrypting a plain file is refused; the next item is not touched.
  const Outcome run = RunDialog({P("a.txt"), qvf}, false);
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0][1], Text(132));
  EXPECT_EQ(run.state.Control(IDCANCEL)->text, Text(IDS_OK));
  EXPECT_TRUE(run.state.Control(IDCANCEL)->enabled);
  EXPECT_TRUE(run.state.closeEnabled);
  EXPECT_FALSE(run.state.Control(IDC_PROGRESS_ANIMATION)->playing);
  EXPECT_EQ(ReadBytes(P("a.txt")), "a");
  EXPECT_EQ(ReadBytes(qvf), before);
  EXPECT_FALSE(Present(P("b.txt")));
}

TEST_F(CProgressDlgTest, AUserWithoutAKeyGetsOneEngineRowAndNothingIsTouched) {
  WriteBytes(P("a.txt"), "a");
  WriteBytes(P("b.txt"), "b");
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  const Outcome run = RunDialog({P("a.txt"), P("b.txt")}, true, "bob");
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0], (std::vector<std::string>{"a.txt", Text(114), dir_}));
  EXPECT_EQ(run.state.Control(IDC_PROGRESS_TEXT)->text, P("a.txt"));
  EXPECT_FALSE(run.state.Control(IDC_FILES_REMAINING)->visible);
  EXPECT_EQ(ReadBytes(P("a.txt")), "a");
  EXPECT_EQ(ReadBytes(P("b.txt")), "b");
  EXPECT_FALSE(Present(P("a.txt.qvf")));
}

TEST_F(CProgressDlgTest, AnEmptyRequestClosesAtOnce) {
  const Outcome run = RunDialog({}, true);
  EXPECT_EQ(run.result, IDOK);
  EXPECT_TRUE(run.rows.empty());
}

TEST_F(CProgressDlgTest, ReplaceAnswersAreHonouredAndTheAllAnswersRemembered) {
  // Four encrypted files whose plain names exist again with other contents.
  const std::vector<std::string> names = {"a", "b", "c", "d"};
  std::vector<std::string> items;
  for (const std::string& n : names) {
    items.push_back(Encrypted(n, "new " + n));
    WriteBytes(P(n), "old " + n);
  }
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDOK);            // a: Yes
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDCANCEL);        // b: No
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDC_YES_TO_ALL);  // c, and d without asking
  const Outcome run = RunDialog(items, false);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(run.Statuses(), "a.qvf: Success | c.qvf: Success | d.qvf: Success");
  EXPECT_EQ(ReadBytes(P("a")), "new a");
  EXPECT_EQ(ReadBytes(P("b")), "old b");
  EXPECT_TRUE(Present(P("b.qvf")));
  EXPECT_EQ(ReadBytes(P("c")), "new c");
  EXPECT_EQ(ReadBytes(P("d")), "new d");
  for (const std::string& n : names) EXPECT_FALSE(Present(P(n) + ".quorvinencryptedtempfile"));

  // No To All at the first question removes every conflicting item: nothing is shown.
  items = {Encrypted("c2", "new"), Encrypted("c3", "new")};
  WriteBytes(P("c2"), "old");
  WriteBytes(P("c3"), "old");
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDC_NO_TO_ALL);
  const Outcome none = RunDialog(items, false);
  EXPECT_TRUE(none.rows.empty()) << none.Statuses();
  EXPECT_EQ(ReadBytes(P("c2")), "old");
  EXPECT_EQ(ReadBytes(P("c3")), "old");
  EXPECT_TRUE(Present(P("c2.qvf")));
  EXPECT_TRUE(Present(P("c3.qvf")));
}

// Records, while the replace question is open, the state of the progress dialog behind it,
// and presses its Cancel meanwhile.
class WatchingUi : public HeadlessUi {
 public:
  bool WaitForUser(HWND dialog) override {
    DialogState state;
    if (SnapshotDialog(dialog, &state) && state.templateId == IDD_CONFIRM_REPLACE) {
      for (HWND open : OpenDialogs()) {
        DialogState progress;
        if (SnapshotDialog(open, &progress) && progress.templateId == IDD_PROGRESS) {
          cancelEnabled = progress.Control(IDCANCEL)->enabled;
          closeEnabled = progress.closeEnabled;
          pressed = PressDialogButton(open, IDCANCEL);
        }
      }
    }
    return HeadlessUi::WaitForUser(dialog);
  }
  bool cancelEnabled = true;
  bool closeEnabled = true;
  bool pressed = false;
};

TEST_F(CProgressDlgTest, CancelIsDisabledWhileTheItemsArePrepared) {
  const std::string qvf = Encrypted("a", "new");
  WriteBytes(P("a"), "old");
  WatchingUi watcher;  // replaces the fixture's user for this run
  watcher.PressButton(IDD_CONFIRM_REPLACE, IDOK);
  OperationRequest request;
  request.items = {qvf};
  request.userId = "alice";
  request.encrypt = false;
  CProgressDlg dialog(std::move(request));
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_TRUE(watcher.pressed);
  EXPECT_FALSE(watcher.cancelEnabled);
  EXPECT_FALSE(watcher.closeEnabled);
  // The press reached a disabled button: the operation ran to its end.
  EXPECT_FALSE(dialog.CancelRequested());
  EXPECT_EQ(ReadBytes(P("a")), "new");
}

TEST_F(CProgressDlgTest, CancelDuringACallLeavesNoPartialOutput) {
  WriteBytes(P("a.bin"), Bytes(3u << 20, 1));
  WriteBytes(P("b.txt"), "b");
  ui_.PressAtFirstRowNot(IDD_PROGRESS, IDC_PROGRESS_LIST, 1, Text(IDS_SUCCESS));
  const Outcome run = RunDialog({P("a.bin"), P("b.txt")}, true);
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0][1], Text(IDS_CANCELLED));
  EXPECT_EQ(ReadBytes(P("a.bin")), Bytes(3u << 20, 1));
  EXPECT_EQ(ReadBytes(P("b.txt")), "b");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(CProgressDlgTest, CancelBetweenItemsStopsAndUndoesWhatThePreparationCreated) {
  // Encrypting a .qvf decrypts it in place first and keeps the old one as a backup; a Cancel
  // before it is encrypted again removes the plain copy and brings the old .qvf back.
  const std::string qvf = Encrypted("x.txt", "secret");
  const std::string before = ReadBytes(qvf);
  WriteBytes(P("a.txt"), "a");
  ui_.PressAfterProgressSteps(IDD_PROGRESS, IDC_PROGRESS_BAR, 1);
  const Outcome run = RunDialog({P("a.txt"), qvf}, true);
  EXPECT_EQ(run.result, IDCANCEL);
  EXPECT_TRUE(Present(P("a.txt.qvf")));
  EXPECT_FALSE(Present(P("a.txt")));
  EXPECT_EQ(ReadBytes(qvf), before);
  EXPECT_FALSE(Present(P("x.txt")));
  EXPECT_FALSE(Present(qvf + ".quorvinencryptedtempfile"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(CProgressDlgTest, ACancelAfterTheLastItemStopsNothingAndKeepsTheWork) {
  // A container restored whole is kept restored (and the container goes) even when Cancel is
  // pressed between the last item's success and the end of the operation.
  fs::create_directories(P("album/inner"));
  WriteBytes(P("album/inner/a.txt"), "a");
  ASSERT_EQ(RunDialog({P("album")}, true).result, IDOK);
  bool cancelled = false;
  CProgressDlg::SetAfterLastItemTestHook([&cancelled](CProgressDlg& dialog) {
    EXPECT_TRUE(PressDialogButton(dialog.GetSafeHwnd(), IDCANCEL));
    dialog.PumpMessages();
    cancelled = dialog.CancelRequested();
  });
  const Outcome run = RunDialog({P("album.qvef")}, false);
  CProgressDlg::SetAfterLastItemTestHook(nullptr);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(ReadBytes(P("album/inner/a.txt")), "a");
  EXPECT_FALSE(Present(P("album.qvef")));
}

TEST_F(CProgressDlgTest, AnEncryptedFileIsEncryptedAgainWithoutLeftovers) {
  const std::string qvf = Encrypted("x.txt", "secret");
  const std::string before = ReadBytes(qvf);
  const Outcome run = RunDialog({qvf}, true);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_NE(ReadBytes(qvf), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_EQ(RunDialog({qvf}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("x.txt")), "secret");
}

TEST_F(CProgressDlgTest, AReadOnlySourceIsDeletedOnceItsEncryptedFormIsWritten) {
  WriteBytes(P("ro.txt"), "read only");
  ASSERT_TRUE(SetFileAttributesA(P("ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  const Outcome run = RunDialog({P("ro.txt")}, true);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_FALSE(Present(P("ro.txt")));
  ASSERT_EQ(RunDialog({P("ro.txt.qvf")}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("ro.txt")), "read only");
}

TEST_F(CProgressDlgTest, ASymbolicLinkIsLeftAlone) {
  WriteBytes(P("target.txt"), "t");
  fs::create_symlink(P("target.txt"), P("link.txt"));
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  const Outcome run = RunDialog({P("link.txt")}, true);
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0][1], Text(109));
  EXPECT_TRUE(fs::is_symlink(P("link.txt")));
  EXPECT_EQ(ReadBytes(P("target.txt")), "t");
  EXPECT_FALSE(Present(P("link.txt.qvf")));
  EXPECT_FALSE(Present(P("target.txt.qvf")));
}

TEST_F(CProgressDlgTest, AnExistingPlainFileSurvivesAFailingDecryption) {
  const std::string qvf = Encrypted("a", "new");
  std::string damaged = ReadBytes(qvf);
  damaged.back() = static_cast<char>(damaged.back() ^ 1);
  WriteBytes(qvf, damaged);
  WriteBytes(P("a"), "old");
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDOK);
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  Outcome run = RunDialog({qvf}, false);
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_NE(run.rows[0][1], Text(IDS_SUCCESS));
  EXPECT_EQ(ReadBytes(P("a")), "old");
  EXPECT_EQ(ReadBytes(qvf), damaged);
  EXPECT_FALSE(Present(P("a.quorvinencryptedtempfile")));

  // The backup name is taken: the item fails before anything moves.
  const std::string good = Encrypted("b", "new");
  WriteBytes(P("b"), "old");
  WriteBytes(P("b.quorvinencryptedtempfile"), "someone's");
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDOK);
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  run = RunDialog({good}, false);
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0][1], Text(127));
  EXPECT_EQ(ReadBytes(P("b")), "old");
  EXPECT_EQ(ReadBytes(P("b.quorvinencryptedtempfile")), "someone's");
  EXPECT_TRUE(Present(good));
}

}  // namespace

namespace {

TEST_F(CProgressDlgTest, TheSentivoEditionUsesTheKeysOwnNameAndLabel) {
  ASSERT_NO_FATAL_FAILURE(EnrollSentivoUser());

  WriteBytes(P("c.txt"), "carol's");
  ASSERT_EQ(RunDialog({P("c.txt")}, true, "carol").result, IDOK);
  char owner[kOwnerTextSize] = {};
  ASSERT_EQ(QVFSFileGetOwner(P("c.txt.qvf").c_str(), owner), 0u);
  EXPECT_EQ(std::string(owner).rfind(kSentivoKeyName, 0), 0u) << owner;
  ASSERT_EQ(RunDialog({P("c.txt.qvf")}, false, "carol").result, IDOK);
  EXPECT_EQ(ReadBytes(P("c.txt")), "carol's");
}

}  // namespace
