// FolderContainer as the engine uses it: a folder becomes a container beside it with its
// protection record, images are stored relative to the folder, and the whole folder comes
// back with the progress bar and the files-remaining label of the caller's dialog, and with
// the caller's windows kept answering between blocks.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "base/DialogResources.h"
#include "container/FolderContainer.h"
#include "dialogs/FilesRemainingProgress.h"
#include "platform/FileTime.h"
#include "platform/Files.h"
#include "platform/ui/Controls.h"
#include "platform/ui/WindowApi.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"

namespace fs = std::filesystem;

namespace {

// Keeps every text the label shows and every step of the bar, in order.
class RecordingUi : public HeadlessUi {
 public:
  void ControlChanged(const ControlChange& change) override {
    HeadlessUi::ControlChanged(change);
    std::lock_guard<std::mutex> guard(lock_);
    if (change.controlId == IDC_FILES_REMAINING && change.kind == ChangeKind::Text)
      labels_.push_back(change.text);
    if (change.controlId == IDC_PROGRESS_BAR && change.kind == ChangeKind::ProgressStep) ++steps_;
  }
  std::vector<std::string> Labels() {
    std::lock_guard<std::mutex> guard(lock_);
    return labels_;
  }
  int Steps() {
    std::lock_guard<std::mutex> guard(lock_);
    return steps_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> labels_;
  int steps_ = 0;
};

class FolderContainerTest : public RootedTest {
 protected:
  void SetUp() override { fs::create_directories(work_ + "/Plans"); }

  // Opens the container of the Plans folder that Encrypt made.
  bool OpenPlans(FolderContainer& container) {
    BYTE* data = nullptr;
    DWORD size = 0;
    char csp[1024] = {};
    const int opened = container.OpenFolder(work_, "Plans", csp, &data, &size, FALSE);
    std::free(data);
    return opened == 1;
  }

  // A plain file and its encrypted image below the Plans folder; returns the image path.
  std::string Image(const std::string& relative, const std::string& content) {
    const std::string plain = work_ + "/Plans/" + relative;
    fs::create_directories(fs::path(plain).parent_path());
    WriteTextFile(plain, "plain " + relative);
    EXPECT_TRUE(SetFileTimesA(plain.c_str(), &written_, &written_));
    WriteTextFile(plain + ".qvf", content);
    return plain + ".qvf";
  }
  // Creates Work/Plans.qvef from the images named, with markers for `emptyFolders`.
  void Encrypt(const std::vector<std::pair<std::string, std::string>>& files,
               const std::vector<std::string>& emptyFolders) {
    FolderContainer container;
    BYTE* data = record_;
    DWORD size = sizeof record_;
    char csp[1024] = "Test Provider";
    ASSERT_EQ(container.OpenFolder(work_, "Plans", csp, &data, &size, TRUE), 1);
    for (const std::string& folder : emptyFolders) {
      fs::create_directories(work_ + "/Plans/" + folder);
      ASSERT_GT(container.AddFile(work_ + "/Plans/" + folder + "/qvdummyffff.qvf", FALSE), 0);
    }
    for (const auto& [relative, content] : files)
      ASSERT_GT(container.AddFile(Image(relative, content), FALSE), 0) << relative;
    ASSERT_EQ(container.Flush(), 1);
    container.Close();
    fs::remove_all(work_ + "/Plans");
  }

  std::string work_ = root_.Sub("Work");
  BYTE record_[5] = {'h', 'e', 'a', 'd', 0};
  FILETIME written_ = FileTimeFromTicks(132000000000000000ull);
};

TEST_F(FolderContainerTest, OpenFolderPutsTheContainerBesideTheFolderWithItsRecord) {
  {
    FolderContainer container;
    BYTE* data = record_;
    DWORD size = sizeof record_;
    char csp[1024] = "Test Provider";
    ASSERT_EQ(container.OpenFolder(work_, "Plans", csp, &data, &size, TRUE), 1);
    EXPECT_EQ(container.RootDir(), work_ + "/Plans/");
    EXPECT_EQ(container.FolderId(), 0u);
    EXPECT_TRUE(fs::exists(work_ + "/Plans.qvef"));
  }
  FolderContainer container;
  BYTE* data = nullptr;
  DWORD size = 0;
  char csp[1024] = {};
  ASSERT_EQ(container.OpenFolder(work_ + "/", "Plans", csp, &data, &size, FALSE), 1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("head\0", 5));
  std::free(data);
  EXPECT_STREQ(csp, "Test Provider");
  EXPECT_EQ(container.RootDir(), work_ + "/Plans/");

  // The converted temporary keeps its own name, whatever its case.
  FolderContainer temporary;
  data = record_;
  size = 3;
  ASSERT_EQ(temporary.OpenFolder(work_, "Plans.QuorvinEncryptedTempFile", csp, &data, &size, TRUE),
            1);
  EXPECT_TRUE(fs::exists(work_ + "/Plans.QuorvinEncryptedTempFile"));

  FolderContainer missing;
  EXPECT_EQ(missing.OpenFolder(work_, "Nothing", csp, &data, &size, FALSE), 0);
  EXPECT_FALSE(fs::exists(work_ + "/Nothing.qvef"));
}

TEST_F(FolderContainerTest, AContainerWithoutItsRecordStaysOpenButFails) {
  const std::string path = work_ + "/Bare.qvef";
  {
    QVDatabase db;
    ASSERT_EQ(db.Open(path, TRUE), VARIANT_TRUE);
  }
  FolderContainer container;
  BYTE* data = nullptr;
  DWORD size = 0;
  char csp[1024] = {};
  EXPECT_EQ(container.OpenContainer(path, csp, &data, &size, FALSE), 0);
  EXPECT_EQ(container.Database().IsOpen(), VARIANT_TRUE);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(container.ProbeContainer(path), 1);
  EXPECT_EQ(container.Database().IsOpen(), VARIANT_FALSE) << "the probe closes again";
  EXPECT_EQ(container.ProbeContainer(work_ + "/none.qvef"), 0);
}

TEST_F(FolderContainerTest, ImagesAreStoredRelativeToTheFolderAndBelowAnOpenFolder) {
  FolderContainer container;
  BYTE* data = record_;
  DWORD size = sizeof record_;
  char csp[1024] = "p";
  ASSERT_EQ(container.OpenFolder(work_, "Plans", csp, &data, &size, TRUE), 1);
  ASSERT_EQ(container.AddFile(Image("a.txt", "A"), FALSE), 1);
  ASSERT_EQ(container.AddFile(Image("2017/b.txt", "B"), FALSE), 2);
  EXPECT_EQ(container.AddFile(Image("2017/b.txt", "B2"), FALSE), -2);
  container.Close();

  // A view of folder \2017 drops a folder "Q1" with a file into it.
  fs::create_directories(root_.Sub("drop/Q1"));
  WriteTextFile(root_.Sub("drop/Q1/c.txt"), "plain");
  WriteTextFile(root_.Sub("drop/Q1/c.txt.qvf"), "C");
  FolderContainer view;
  ASSERT_EQ(view.OpenAt(root_.Sub("drop"), work_ + "/Plans.qvef", 1), 1);
  EXPECT_EQ(view.AddFile(root_.Sub("drop/Q1/c.txt.qvf"), FALSE), 3);
  std::string name;
  ASSERT_EQ(view.Database().GetFolderName(2, name), VARIANT_TRUE);
  EXPECT_EQ(name, "\\2017\\Q1");
  view.Close();

  FolderContainer gone;
  ASSERT_EQ(gone.OpenAt(root_.Sub("drop"), work_ + "/Plans.qvef", 77), 1);
  EXPECT_EQ(gone.AddFile(root_.Sub("drop/Q1/c.txt.qvf"), FALSE), -1)
      << "the folder the view shows is gone";
}

TEST_F(FolderContainerTest, ExtractAllRestoresTheFolderAndCountsDown) {
  Encrypt(
      {{"a.txt", "alpha"}, {"sub/b.txt", std::string(1048576 + 3, 'b')}, {"sub/deep/c.txt", ""}},
      {"", "sub", "sub/deep", "empty"});
  RecordingUi ui;
  CDialog dialog(LoadDialogTemplate(IDD_PROGRESS), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  HWND bar = GetDlgItem(dialog.GetSafeHwnd(), IDC_PROGRESS_BAR);
  HWND label = GetDlgItem(dialog.GetSafeHwnd(), IDC_FILES_REMAINING);
  ASSERT_NE(bar, nullptr);
  ASSERT_NE(label, nullptr);

  FolderContainer container;
  ASSERT_TRUE(OpenPlans(container));
  int pauses = 0;
  {
    FilesRemainingProgress shown(bar, label);
    ASSERT_EQ(container.ExtractAll(std::ref(shown),
                                   [&] {
                                     ++pauses;
                                     return true;
                                   }),
              1);
  }
  EXPECT_EQ(pauses, 3) << "one before each block: a.txt has one, b.txt two, c.txt none";

  const std::string plans = work_ + "/Plans";
  EXPECT_EQ(ReadTextFile(plans + "/a.txt.qvf"), "alpha");
  EXPECT_TRUE(ReadTextFile(plans + "/sub/b.txt.qvf") == std::string(1048576 + 3, 'b'));
  EXPECT_EQ(ReadTextFile(plans + "/sub/deep/c.txt.qvf"), "");
  EXPECT_TRUE(fs::is_directory(plans + "/empty"));
  EXPECT_TRUE(fs::is_empty(plans + "/empty"));
  EXPECT_FALSE(fs::exists(plans + "/qvdummyffff.qvf")) << "markers write no file";
  FILETIME restored{};
  ASSERT_TRUE(GetFileTimesA((plans + "/sub/b.txt.qvf").c_str(), nullptr, nullptr, &restored));
  EXPECT_EQ(FileTimeToTicks(restored), FileTimeToTicks(written_));

  // Seven entries: four markers and three files.
  EXPECT_EQ(ui.Labels(),
            (std::vector<std::string>{"7 Files Remaining", "6 Files Remaining", "5 Files Remaining",
                                      "4 Files Remaining", "3 Files Remaining", "2 Files Remaining",
                                      "1 Files Remaining", ""}));
  EXPECT_EQ(ui.Steps(), 7);
  CProgressCtrl progress(bar);
  int lower = -1, upper = -1;
  progress.GetRange(lower, upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 6);
  EXPECT_TRUE(dialog.DestroyWindow());
}

TEST_F(FolderContainerTest, ExtractAllFailsOnABadEntryAndClearsTheLabel) {
  Encrypt({{"a.txt", "alpha"}, {"b.txt", "beta"}}, {});
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((work_ + "/Plans.qvef").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(raw, "UPDATE FILE_INFO SET FILE_NAME = '../escape.qvf' WHERE FILE_ID = 2",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(raw);
  }
  RecordingUi ui;
  CDialog dialog(LoadDialogTemplate(IDD_PROGRESS), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  HWND label = GetDlgItem(dialog.GetSafeHwnd(), IDC_FILES_REMAINING);

  FolderContainer container;
  ASSERT_TRUE(OpenPlans(container));
  SetWindowTextA(label, "3 Files Remaining");  // left by an earlier container
  {
    FilesRemainingProgress shown(nullptr, label);
    EXPECT_EQ(container.ExtractAll(std::ref(shown), nullptr), 0);
  }
  EXPECT_FALSE(fs::exists(work_ + "/escape.qvf"));
  const auto labels = ui.Labels();
  ASSERT_FALSE(labels.empty());
  EXPECT_EQ(labels.back(), "");
  char text[64] = "x";
  GetWindowTextA(label, text, sizeof text);
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(dialog.DestroyWindow());
}

TEST_F(FolderContainerTest, StoppingBetweenBlocksFailsAndLeavesNoCutImage) {
  const std::string big(2 * 1048576 + 5, 'x');
  Encrypt({{"big.txt", big}}, {});
  FolderContainer container;
  ASSERT_TRUE(OpenPlans(container));
  int pauses = 0;
  EXPECT_EQ(container.ExtractAll(nullptr, [&] { return ++pauses < 2; }), 0);
  EXPECT_EQ(pauses, 2) << "stopped before the second block";
  EXPECT_FALSE(fs::exists(work_ + "/Plans/big.txt.qvf")) << "a cut image would look whole";

  // The same for one file, and the setting is kept until it is replaced.
  const std::string flat = work_ + "/flat";
  fs::create_directories(flat);
  container.Database().SetBetweenBlocks([] { return false; });
  EXPECT_EQ(container.Database().ExtractFileTo(0, 1, flat), VARIANT_FALSE);
  EXPECT_FALSE(fs::exists(flat + "/big.txt.qvf"));
  container.Database().SetBetweenBlocks(nullptr);
  ASSERT_EQ(container.Database().ExtractFileTo(0, 1, flat), VARIANT_TRUE);
  EXPECT_TRUE(ReadTextFile(flat + "/big.txt.qvf") == big);
}

TEST_F(FolderContainerTest, RecordCanBeReplacedThroughTheContainer) {
  Encrypt({{"a.txt", "alpha"}}, {});
  FolderContainer container;
  BYTE* data = nullptr;
  DWORD size = 0;
  char csp[1024] = {};
  ASSERT_EQ(container.OpenContainer(work_ + "/Plans.qvef", csp, &data, &size, FALSE), 1);
  std::free(data);
  BYTE shared[] = {'n', 'e', 'w'};
  BYTE* record = shared;
  DWORD length = sizeof shared;
  char provider[1024] = "Other Provider";
  ASSERT_EQ(container.SetFolderOptions(provider, &record, &length), 1);
  data = nullptr;
  ASSERT_EQ(container.GetFolderOptions(csp, &data, &size), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "new");
  EXPECT_STREQ(csp, "Other Provider");
  std::free(data);
}

}  // namespace
