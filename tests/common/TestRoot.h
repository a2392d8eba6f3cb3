// A private machine root for one test: QV_ROOT, XDG_RUNTIME_DIR and TMPDIR point into a
// fresh temporary folder that is removed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

class TestRoot {
 public:
  TestRoot();
  ~TestRoot();
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& Path() const { return path_; }
  // A path inside the root (no file is created).
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string saved_[3];
  bool had_[3] = {};
};

// Fixture base for tests that need a machine root.
class RootedTest : public ::testing::Test {
 protected:
  TestRoot root_;
};

// Writes `content` to `path`, replacing it; fails the test when that does not work.
void WriteTextFile(const std::string& path, const std::string& content);
std::string ReadTextFile(const std::string& path);
// Every entry below `root` by its relative path: a file's bytes, `folderMark` for a folder
// (folders left out when it is null); empty when `root` is not there.
std::map<std::string, std::string> TreeOf(const std::string& root, const char* folderMark);

// Runs `child` in a forked process and returns its exit status (0..255), or -1 when it did
// not exit normally. The child never returns into the test framework.
int RunInChild(const std::function<int()>& child);
