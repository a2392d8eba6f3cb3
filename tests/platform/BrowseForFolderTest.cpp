// The folder chooser as the headless user answers it: the folder typed comes back as a list
// whose path SHGetPathFromIDListA gives; anything but an existing folder gives nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "platform/shell/BrowseForFolder.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"

namespace {

class BrowseForFolderTest : public RootedTest {
 protected:
  // What the chooser returns when the user types `typed` and presses `button`: the path of
  // the list, or "<none>" with the last error.
  std::string Choose(const std::string& typed, int button = IDOK, char* displayName = nullptr) {
    ui_.TypeAndPress(kBrowseForFolderDialogId, kBrowseForFolderPathId, typed, button);
    BROWSEINFOA info{};
    info.lpszTitle = "Select Decryption Location";
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.pszDisplayName = displayName;
    SetLastError(0);
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    EXPECT_EQ(info.iImage, -1);
    if (chosen == nullptr) return "<none:" + std::to_string(GetLastError()) + ">";
    char path[MAX_PATH] = {};
    EXPECT_TRUE(SHGetPathFromIDListA(chosen, path));
    ILFree(chosen);
    return path;
  }
  HeadlessUi ui_;
};

TEST_F(BrowseForFolderTest, AnExistingFolderIsChosenAndAnythingElseIsNot) {
  const std::string folder = root_.Sub("out");
  std::filesystem::create_directories(folder + "/inner");
  std::ofstream(folder + "/file.txt") << "x";

  char name[MAX_PATH] = "unchanged";
  EXPECT_EQ(Choose(folder + "/inner/", IDOK, name), folder + "/inner");
  EXPECT_STREQ(name, "inner");
  HeadlessBackend::ClosedDialog closed;
  ASSERT_TRUE(ui_.LastClosed(kBrowseForFolderDialogId, &closed));
  EXPECT_EQ(closed.state.Control(kBrowseForFolderTitleId)->text, "Select Decryption Location");

  // A relative answer is taken from the current folder.
  const std::string current = std::filesystem::current_path();
  ASSERT_EQ(chdir(folder.c_str()), 0);
  EXPECT_EQ(Choose("inner"), folder + "/inner");
  ASSERT_EQ(chdir(current.c_str()), 0);

  const std::string notFound = "<none:" + std::to_string(ERROR_PATH_NOT_FOUND) + ">";
  EXPECT_EQ(Choose(folder + "/missing"), notFound);
  EXPECT_EQ(Choose(folder + "/file.txt"), notFound) << "a file is no folder";
  EXPECT_EQ(Choose(""), notFound);
  EXPECT_EQ(Choose(folder, IDCANCEL), "<none:0>");
}

TEST_F(BrowseForFolderTest, CallbacksAreRefusedWithoutShowingAnything) {
  BROWSEINFOA info{};
  int callback = 0;
  info.lpfn = &callback;
  EXPECT_EQ(SHBrowseForFolderA(&info), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(SHBrowseForFolderA(nullptr), nullptr);
  EXPECT_TRUE(ui_.ClosedDialogs().empty());
}

}  // namespace
