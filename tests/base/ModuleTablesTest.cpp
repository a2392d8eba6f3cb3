// The module tables: open views by key, verified views with their user per container, one
// entry for every spelling of a container's path, safe from several threads; and an operation
// on an open container acting for the user verified there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "base/ModuleTables.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace {

using engine_test::Outcome;
using engine_test::ProgressDialogFixture;

HWND Window(std::uintptr_t n) { return reinterpret_cast<HWND>(n); }

TEST(ModuleTablesTest, OpenViewsGetTheFirstFreeKeyAndAreFoundByTheirContainer) {
  ModuleTables tables;
  const std::string first = tables.AddOpenView("/home/u/Box.qvef", Window(1));
  const std::string second = tables.AddOpenView("/home/u/./x/../Box.qvef", Window(2));
  const std::string other = tables.AddOpenView("/home/u/box.qvef", Window(3));
  EXPECT_EQ(first, "/HOME/U/BOX.QVEF0");
  EXPECT_EQ(second, "/HOME/U/BOX.QVEF1");
  EXPECT_EQ(other, "/HOME/U/BOX.QVEF2") << "the key is upper case; the path is not";
  std::vector<HWND> views = tables.OpenViewsOf("/home/u//Box.qvef");
  std::sort(views.begin(), views.end());
  EXPECT_EQ(views, (std::vector<HWND>{Window(1), Window(2)}));
  EXPECT_EQ(tables.OpenViewsOf("/home/u/box.qvef"), std::vector<HWND>{Window(3)});

  // A freed key is taken again by the next view.
  tables.RemoveOpenView(first);
  tables.RemoveOpenView("/HOME/U/BOX.QVEF9");
  EXPECT_EQ(tables.OpenViewCount(), 2u);
  EXPECT_EQ(tables.AddOpenView("/home/u/Box.qvef", Window(4)), first);
  tables.Clear();
  EXPECT_EQ(tables.OpenViewCount(), 0u);
  EXPECT_TRUE(tables.OpenViewsOf("/home/u/Box.qvef").empty());
}

TEST(ModuleTablesTest, TheVerifiedUserStaysWhileAVerifiedViewOfTheContainerIsOpen) {
  ModuleTables tables;
  EXPECT_EQ(tables.VerifiedUser("/c/A.qvef"), "");
  tables.RemoveVerifiedView("/c/A.qvef");  // a view that was refused closes: nothing to undo
  EXPECT_EQ(tables.VerifiedViewCount("/c/A.qvef"), 0u);

  tables.AddVerifiedView("/c/A.qvef", "alice");
  tables.AddVerifiedView("/c/sub/../A.qvef", "alice");
  tables.AddVerifiedView("/c/B.qvef", "bob");
  EXPECT_EQ(tables.VerifiedViewCount("/c/A.qvef"), 2u);
  EXPECT_EQ(tables.VerifiedUser("/c/./A.qvef"), "alice");
  EXPECT_EQ(tables.VerifiedUser("/c/a.qvef"), "") << "another file";
  tables.RemoveVerifiedView("/c/A.qvef");
  EXPECT_EQ(tables.VerifiedUser("/c/A.qvef"), "alice") << "the other view is still open";
  tables.RemoveVerifiedView("/c/A.qvef");
  EXPECT_EQ(tables.VerifiedUser("/c/A.qvef"), "");
  EXPECT_EQ(tables.VerifiedViewCount("/c/A.qvef"), 0u);
  EXPECT_EQ(tables.VerifiedUser("/c/B.qvef"), "bob");
}

TEST(ModuleTablesTest, AContainerReachedThroughALinkedFolderIsTheSameContainer) {
  TestRoot root;
  std::filesystem::create_directories(root.Sub("real"));
  std::filesystem::create_directory_symlink(root.Sub("real"), root.Sub("link"));
  WriteTextFile(root.Sub("real/Box.qvef"), "container");
  ModuleTables tables;
  tables.AddVerifiedView(root.Sub("link/Box.qvef"), "alice");
  EXPECT_EQ(tables.VerifiedViewCount(root.Sub("real/Box.qvef")), 1u);
  EXPECT_EQ(tables.VerifiedUser(root.Sub("link/../real/Box.qvef")), "alice");
  // Deleted while its view is open, the container still finds its entry when the view closes.
  std::filesystem::remove(root.Sub("real/Box.qvef"));
  tables.RemoveVerifiedView(root.Sub("link/Box.qvef"));
  EXPECT_EQ(tables.VerifiedViewCount(root.Sub("real/Box.qvef")), 0u);
  EXPECT_EQ(tables.VerifiedUser(root.Sub("real/Box.qvef")), "");
}

TEST(ModuleTablesTest, ViewsOnManyThreadsLeaveConsistentTables) {
  ModuleTables tables;
  constexpr int kThreads = 4;
  constexpr int kViews = 10000;
  constexpr int kSharedEvery = 20;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&tables, &ready, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      // Views of containers of their own (the tables grow meanwhile) and of one shared one.
      std::vector<std::string> removable;
      for (int i = 0; i < kViews; ++i) {
        const std::string own = "/c/" + std::to_string(t) + "/" + std::to_string(i) + ".qvef";
        removable.push_back(tables.AddOpenView(own, Window(t + 1)));
        tables.AddVerifiedView(own, "alice");
        // (Fewer views of the shared one: each new key is searched from n = 0.)
        if (i % kSharedEvery == 0) (void)tables.AddOpenView("/c/Shared.qvef", Window(t + 1));
        tables.AddVerifiedView("/c/Shared.qvef", "alice");
      }
      for (int i = 0; i < kViews; ++i) {
        tables.RemoveOpenView(removable[i]);
        tables.RemoveVerifiedView("/c/" + std::to_string(t) + "/" + std::to_string(i) + ".qvef");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  constexpr auto kSharedViews = static_cast<std::size_t>(kThreads * kViews / kSharedEvery);
  EXPECT_EQ(tables.OpenViewCount(), kSharedViews);
  EXPECT_EQ(tables.OpenViewsOf("/c/Shared.qvef").size(), kSharedViews);
  EXPECT_EQ(tables.VerifiedViewCount("/c/Shared.qvef"),
            static_cast<std::size_t>(kThreads * kViews));
  EXPECT_EQ(tables.VerifiedUser("/c/0/0.qvef"), "");
}

class OpenContainerUserTest : public ProgressDialogFixture {
 protected:
  void TearDown() override {
    QvModuleTables().Clear();
    ProgressDialogFixture::TearDown();
  }
};

TEST_F(OpenContainerUserTest, AnOperationOnAnOpenContainerActsForTheUserVerifiedThere) {
  engine_test::fs::create_directories(P("box"));
  ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);  // alice's container

  // The view verified alice; bob (who has no key) drops a file into it: the drop is done
  // with alice's key, and the request names alice by the user-data object's name for her.
  QvModuleTables().AddVerifiedView(dir_ + "/./box.qvef", "alice");
  engine_test::WriteBytes(P("note.txt"), "for the box");
  OperationRequest used;
  const Outcome run = RunDrop({P("note.txt")}, P("box.qvef"), "bob", &used);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(used.userId, "alice");
  EXPECT_EQ(used.userName, ".\\alice");
  EXPECT_FALSE(engine_test::Present(P("note.txt")));
  ASSERT_EQ(RunDialog({P("box.qvef")}, false).result, IDOK);
  EXPECT_EQ(engine_test::ReadBytes(P("box/note.txt")), "for the box");

  // Without a verified user the caller's identity stays: bob has no key, nothing is stored.
  ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);
  QvModuleTables().RemoveVerifiedView(P("box.qvef"));
  engine_test::WriteBytes(P("late.txt"), "not for bob");
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  OperationRequest asCaller;
  const Outcome refused = RunDrop({P("late.txt")}, P("box.qvef"), "bob", &asCaller);
  EXPECT_NE(refused.result, IDOK);
  EXPECT_EQ(asCaller.userId, "bob");
  EXPECT_EQ(asCaller.userName, "bob");
  EXPECT_EQ(engine_test::ReadBytes(P("late.txt")), "not for bob");
}

}  // namespace
