// An image is stored only when exactly as many bytes were read as its size said when it was
// opened: a file that turns out shorter (or longer) than it claims is not reported stored.
// Kernel attribute files stand in for a file that changes while it is read: their reported
// size is a fixed page, their content shorter (or, for /proc, longer than the size 0).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "container/QVDatabase.h"
#include "tests/common/TestRoot.h"

namespace {

namespace fs = std::filesystem;

// The first of `candidates` that is a regular file whose content differs in length from its
// reported size; empty when there is none on this machine.
std::string FileWhoseSizeLies(std::initializer_list<const char*> candidates, bool shorter) {
  for (const char* path : candidates) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    const std::string content{std::istreambuf_iterator<char>(in), {}};
    const auto reported = static_cast<std::size_t>(st.st_size);
    if (shorter ? content.size() < reported : content.size() > reported) return path;
  }
  return {};
}

class StoredImageSizeTest : public RootedTest {
 protected:
  void SetUp() override {
    src_ = root_.Sub("src");
    fs::create_directories(src_);
    WriteTextFile(src_ + "/notes.txt", "plain");
    ASSERT_EQ(db_.Open(root_.Sub("box.qvef"), TRUE), VARIANT_TRUE);
  }
  void TearDown() override { (void)db_.Close(); }

  LONG Store(const std::string& image) {
    return db_.AddFileFromImage(src_, src_ + "/notes.txt.qvf", image, 0, FALSE);
  }

  std::string src_;
  QVDatabase db_;
};

TEST_F(StoredImageSizeTest, AnImageThatIsNotAsLongAsItsSizeIsNotStored) {
  const std::string shorter =
      FileWhoseSizeLies({"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
                         "/sys/kernel/profiling", "/sys/devices/system/cpu/online"},
                        true);
  const std::string longer =
      FileWhoseSizeLies({"/proc/self/status", "/proc/version", "/proc/cpuinfo"}, false);
  if (shorter.empty() && longer.empty())
    GTEST_SKIP() << "no file here reports a size other than its length";
  for (const std::string& image : {shorter, longer}) {
    if (image.empty()) continue;
    SCOPED_TRACE(image);
    EXPECT_EQ(Store(image), -1);
  }
  // Nothing of the failed attempts is left: the name is still free for a whole image.
  const std::string whole = root_.Sub("whole.qvf");
  WriteTextFile(whole, "an image read whole");
  const LONG id = Store(whole);
  ASSERT_GT(id, 0);
  const std::string dest = root_.Sub("out");
  fs::create_directories(dest);
  ASSERT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(id), dest), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest + "/notes.txt.qvf"), "an image read whole");
}

}  // namespace
