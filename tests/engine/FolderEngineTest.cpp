// Folders and containers through the progress dialog, over real trees and real containers:
// the round trip of a tree with every kind of entry, the refusals that leave both sides
// untouched, encrypted inputs inside a folder, Cancel in each pass, links (also swapped in
// while the walk runs), old backups, many small files in batches (their rows, Cancel and a
// refused file while batches are under way), other programs writing into a folder while it is
// encrypted, entries that cannot be deleted, names the system uses for its own files, and
// items dropped into a container that is open in a view (and copies taken out of it over a
// plain file the user agreed to replace).
#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/Settings.h"
#include "container/QVDatabase.h"
#include "engine/FolderEngine.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "platform/WorkFolders.h"
#include "tests/engine/ProgressDialogFixture.h"
#include "util/RegKey.h"

namespace {

using namespace engine_test;
namespace fs = std::filesystem;

// Every entry below `root` by its relative path: a file's bytes, "<dir>" for a folder,
// "<link>" for a symbolic link (never followed), "<special>" for a pipe or device.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = fs::relative(it->path(), root).string();
    if (it->is_symlink())
      entries[relative] = "<link>";
    else if (it->is_directory())
      entries[relative] = "<dir>";
    else if (!it->is_regular_file())
      entries[relative] = "<special>";
    else
      entries[relative] = ReadBytes(it->path().string());
  }
  return entries;
}

// The number of file entries (markers included) stored in a container; -1 when unreadable.
int StoredEntries(const std::string& container) {
  QVDatabase database;
  if (database.Open(container, FALSE) != VARIANT_TRUE) return -1;
  VARIANT files;
  VariantInit(&files);
  int count = 0;
  if (database.GetAllFiles(&files) != VARIANT_TRUE)
    count = -1;
  else if (files.parray != nullptr)
    count = static_cast<int>(files.parray->rgsabound[0].cElements);
  (void)VariantClear(&files);
  (void)database.Close();
  return count;
}

std::string StatusText(ItemStatus status) { return Text(MessageIdForStatus(status)); }

// Runs `sql` on `container` through a connection of its own, with `blob` bound to the statement's
// parameter if it has one. The first column of each row it returns as text; for a change, the
// number of rows changed.
std::vector<std::string> RunSql(const std::string& container, const std::string& sql,
                                const std::string& blob = "") {
  std::vector<std::string> values;
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_open_v2(container.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
  if (sqlite3_bind_parameter_count(statement) == 1)
    sqlite3_bind_blob(statement, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
  }
  EXPECT_EQ(step, SQLITE_DONE) << sql;
  if (sqlite3_column_count(statement) == 0) values.push_back(std::to_string(sqlite3_changes(db)));
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return values;
}

class FolderEngineTest : public ProgressDialogFixture {
 protected:
  // A tree with nested and empty folders, a hidden file, names with spaces, quotes and
  // non-ASCII letters, and files on both sides of the container's 1 MiB block.
  std::string MakeTree(const std::string& name) {
    const std::string root = P(name);
    fs::create_directories(root + "/sub dir/deeper");
    fs::create_directories(root + "/empty");
    WriteBytes(root + "/a.txt", "alpha");
    WriteBytes(root + "/.hidden", "hidden");
    WriteBytes(root + "/sub dir/it's \"quoted\".txt", "quoted");
    WriteBytes(root + "/sub dir/grüße.txt", "non-ascii");
    WriteBytes(root + "/sub dir/deeper/block.bin", Bytes(1u << 20, 3));
    WriteBytes(root + "/sub dir/deeper/block+1.bin", Bytes((1u << 20) + 1, 5));
    WriteBytes(root + "/zero.bin", "");
    return root;
  }

  // A folder of `count` small files (more than a few batches), a subfolder of more, and one
  // file too large for a batch among them.
  std::string MakeMany(const std::string& name, int count) {
    const std::string root = P(name);
    fs::create_directories(root + "/sub");
    for (int i = 0; i < count; ++i)
      WriteBytes(root + "/f" + std::to_string(i) + ".txt", Bytes(37u * i + 1, i));
    for (int i = 0; i < count / 3; ++i)
      WriteBytes(root + "/sub/g" + std::to_string(i) + ".txt", Bytes(11u * i, i + 100));
    WriteBytes(root + "/large.bin", Bytes((1u << 20) + 9, 7));
    return root;
  }

  // The files below `root` in the order a walk meets them: each folder's listing in the order
  // the file system gives it, a subfolder's files where the subfolder is met.
  static std::vector<std::string> WalkOrder(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.is_directory()) {
        const auto inner = WalkOrder(entry.path().string());
        names.insert(names.end(), inner.begin(), inner.end());
      } else {
        names.push_back(entry.path().filename().string());
      }
    }
    return names;
  }

  // Entries of the work folder beside the tree: none may be left after an operation.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.find(".qvef-work-") != std::string::npos ||
          name.find(".quorvinencryptedtempfile") != std::string::npos)
        found.push_back(name);
    }
    return found;
  }

  // Encrypts `root` expecting the operation to fail (Cancel closes its dialog) and to leave
  // nothing behind: the folder as `tree` (read after the run), no container, no work folder.
  Outcome RefusedEncryption(const std::string& root,
                            const std::map<std::string, std::string>& tree) {
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);
    const Outcome run = RunDialog({root}, true);
    EXPECT_EQ(run.result, IDCANCEL) << run.Statuses();
    EXPECT_EQ(Snapshot(root), tree);
    EXPECT_FALSE(Present(root + ".qvef"));
    EXPECT_TRUE(Leftovers().empty());
    return run;
  }
  static void ExpectLastRow(const Outcome& run, const std::string& name, ItemStatus status) {
    ASSERT_FALSE(run.rows.empty());
    EXPECT_EQ(run.rows.back()[0], name) << run.Statuses();
    EXPECT_EQ(run.rows.back()[1], StatusText(status)) << run.Statuses();
  }
};

TEST_F(FolderEngineTest, ATreeBecomesOneContainerEvenTwiceAndComesBackExactly) {
  const std::string root = MakeTree("docs");
  WriteBytes(root + "/desktop.ini", "[.ShellClassInfo]");
  const auto before = Snapshot(root);

  Outcome run = RunDialog({root}, true);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_FALSE(Present(root));
  ASSERT_TRUE(fs::is_regular_file(root + ".qvef"));
  EXPECT_TRUE(Leftovers().empty());
  // One row per file, each shown where the user knows it.
  EXPECT_EQ(run.rows.size(), 8u) << run.Statuses();
  for (const auto& row : run.rows) {
    EXPECT_EQ(row[1], Text(IDS_SUCCESS)) << row[0];
    EXPECT_EQ(row[2].rfind(root, 0), 0u) << row[2];
  }
  // The container holds images, not the plain bytes.
  const std::string first = ReadBytes(root + ".qvef");
  EXPECT_EQ(first.find("non-ascii"), std::string::npos);

  // Encrypted again, the container keeps its name and leaves nothing beside it.
  run = RunDialog({root + ".qvef"}, true);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_FALSE(Present(root));
  EXPECT_NE(ReadBytes(root + ".qvef"), first);
  EXPECT_TRUE(Leftovers().empty());

  run = RunDialog({root + ".qvef"}, false);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_FALSE(Present(root + ".qvef"));
  EXPECT_EQ(Snapshot(root), before);
  EXPECT_TRUE(Leftovers().empty());
  for (const auto& row : run.rows) EXPECT_EQ(row[2].find(".qvef-work-"), std::string::npos);
  EXPECT_NE(GetFileAttributesA(root.c_str()) & FILE_ATTRIBUTE_SYSTEM, 0u);
}

TEST_F(FolderEngineTest, AnEmptyFolderSurvivesTheRoundTrip) {
  fs::create_directories(P("nothing"));
  ASSERT_EQ(RunDialog({P("nothing")}, true).result, IDOK);
  EXPECT_EQ(StoredEntries(P("nothing.qvef")), 1);  // the marker alone
  ASSERT_EQ(RunDialog({P("nothing.qvef")}, false).result, IDOK);
  EXPECT_TRUE(fs::is_directory(P("nothing")));
  EXPECT_TRUE(fs::is_empty(P("nothing")));
}

TEST_F(FolderEngineTest, RefusalsLeaveBothSidesUntouched) {
  const std::string root = MakeTree("docs");
  WriteBytes(root + ".qvef", "an older container");
  const auto tree = Snapshot(root);
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  Outcome run = RunDialog({root}, true);
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_FALSE(run.rows.empty());
  EXPECT_EQ(run.rows.back()[1], StatusText(StatusDirectoryAlreadyEncrypted));
  EXPECT_EQ(Snapshot(root), tree);
  EXPECT_EQ(ReadBytes(root + ".qvef"), "an older container");
  EXPECT_TRUE(Leftovers().empty());

  // Decrypting into a folder name that exists.
  fs::remove(root + ".qvef");
  ASSERT_EQ(RunDialog({root}, true).result, IDOK);
  fs::create_directories(root);
  WriteBytes(root + "/mine.txt", "mine");
  const std::string container = ReadBytes(root + ".qvef");
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  run = RunDialog({root + ".qvef"}, false);
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0][1], StatusText(StatusDestinationExists));
  EXPECT_EQ(ReadBytes(root + "/mine.txt"), "mine");
  EXPECT_TRUE(ReadBytes(root + ".qvef") == container);

  // A container reached through a link is refused like a linked file.
  fs::create_directories(P("elsewhere"));
  fs::rename(root + ".qvef", P("elsewhere/docs.qvef"));
  fs::create_symlink(P("elsewhere/docs.qvef"), P("link.qvef"));
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  run = RunDialog({P("link.qvef")}, false);
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0][1], StatusText(StatusFileAccessError));
  EXPECT_TRUE(fs::is_symlink(P("link.qvef")));
  EXPECT_TRUE(ReadBytes(P("elsewhere/docs.qvef")) == container);
  EXPECT_FALSE(Present(P("link")));
  EXPECT_FALSE(Present(P("elsewhere/docs")));
}

TEST_F(FolderEngineTest, EncryptedFilesAndContainersInsideAFolderAreStoredPlain) {
  const std::string root = P("mixed");
  fs::create_directories(root);
  WriteBytes(root + "/plain.txt", "plain");
  WriteBytes(P("inner.txt"), "inner file");
  ASSERT_EQ(RunDialog({P("inner.txt")}, true).result, IDOK);
  fs::rename(P("inner.txt.qvf"), root + "/inner.txt.qvf");
  const std::string nested = MakeTree("nested");
  const auto nestedTree = Snapshot(nested);
  ASSERT_EQ(RunDialog({nested}, true).result, IDOK);
  fs::rename(P("nested.qvef"), root + "/nested.qvef");
  // A backup left by an earlier run is the user's file: it is stored like any other.
  WriteBytes(root + "/old.quorvinencryptedtempfile", "left by an earlier run");

  Outcome run = RunDialog({root}, true);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_FALSE(Present(root));
  EXPECT_TRUE(Leftovers().empty());

  run = RunDialog({root + ".qvef"}, false);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(ReadBytes(root + "/plain.txt"), "plain");
  EXPECT_EQ(ReadBytes(root + "/inner.txt"), "inner file");
  EXPECT_FALSE(Present(root + "/inner.txt.qvf"));
  EXPECT_FALSE(Present(root + "/nested.qvef"));
  EXPECT_EQ(Snapshot(root + "/nested"), nestedTree);
  EXPECT_EQ(ReadBytes(root + "/old.quorvinencryptedtempfile"), "left by an earlier run");
}

TEST_F(FolderEngineTest, CancelInEachPassKeepsTheSourceAndRemovesWhatWasMade) {
  // A tree of a few files, and one of many small files whose batches are under way.
  const struct {
    std::string root;
    std::vector<int> encryptSteps;
    std::vector<int> decryptSteps;  // after the preparation pass
  } trees[] = {{MakeTree("docs"), {1, 4}, {1, 5}}, {MakeMany("many", 70), {20, 60}, {40}}};
  for (const auto& t : trees) {
    SCOPED_TRACE(t.root);
    const auto tree = Snapshot(t.root);
    for (const int steps : t.encryptSteps) {
      ui_.PressAfterProgressSteps(IDD_PROGRESS, IDC_PROGRESS_BAR, steps);
      EXPECT_EQ(RunDialog({t.root}, true).result, IDCANCEL) << steps;
      EXPECT_EQ(Snapshot(t.root), tree) << steps;
      EXPECT_FALSE(Present(t.root + ".qvef")) << steps;
      EXPECT_TRUE(Leftovers().empty()) << steps;
    }

    ASSERT_EQ(RunDialog({t.root}, true).result, IDOK);
    const std::string container = ReadBytes(t.root + ".qvef");
    // The bar steps once per file decrypted: the preparation pass only counts the rows.
    for (const int steps : t.decryptSteps) {
      ui_.PressAfterProgressSteps(IDD_PROGRESS, IDC_PROGRESS_BAR, steps);
      EXPECT_EQ(RunDialog({t.root + ".qvef"}, false).result, IDCANCEL) << steps;
      EXPECT_FALSE(Present(t.root)) << steps;
      EXPECT_TRUE(ReadBytes(t.root + ".qvef") == container) << steps;
      EXPECT_TRUE(Leftovers().empty()) << steps;
    }
  }
  // The scratch folder in memory keeps nothing of either operation.
  for (const auto& entry : fs::directory_iterator(QvScratchDir()))
    EXPECT_NE(entry.path().filename().string().rfind("work-", 0), 0u) << entry.path();
}

TEST_F(FolderEngineTest, ManySmallFilesGoThroughInBatchesWithARowEachInTheWalksOrder) {
  // A few batches, and many: rows and files stay in the walk's order across them all.
  for (const int count : {70, 600}) {
    const std::string root = MakeMany("many" + std::to_string(count), count);
    const auto before = Snapshot(root);
    const std::vector<std::string> order = WalkOrder(root);

    Outcome run = RunDialog({root}, true);
    ASSERT_EQ(run.result, IDOK) << run.Statuses();
    ASSERT_EQ(run.rows.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(run.rows[i][0], order[i]) << i;
      EXPECT_EQ(run.rows[i][1], Text(IDS_SUCCESS)) << order[i];
    }
    EXPECT_EQ(StoredEntries(root + ".qvef"), static_cast<int>(order.size()) + 2)
        << "every file and the marker of each folder";

    run = RunDialog({root + ".qvef"}, false);
    ASSERT_EQ(run.result, IDOK) << run.Statuses();
    EXPECT_EQ(run.rows.size(), order.size());
    EXPECT_EQ(Snapshot(root), before) << count;
    EXPECT_TRUE(Leftovers().empty());
  }
}

TEST_F(FolderEngineTest, AFileTheLibraryRefusesInABatchEndsTheWalkAfterTheFilesBeforeIt) {
  const std::string root = MakeMany("many", 40);
  ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0600), 0);
  const auto before = Snapshot(root);
  const std::vector<std::string> order = WalkOrder(root);
  const std::size_t pipe = std::find(order.begin(), order.end(), "pipe") - order.begin();

  const Outcome run = RefusedEncryption(root, before);
  ASSERT_EQ(run.rows.size(), pipe + 1) << run.Statuses();
  for (std::size_t i = 0; i < pipe; ++i) EXPECT_EQ(run.rows[i][1], Text(IDS_SUCCESS)) << i;
  EXPECT_EQ(run.rows[pipe][0], "pipe");
  EXPECT_NE(run.rows[pipe][1], Text(IDS_SUCCESS));
}

TEST_F(FolderEngineTest, AFolderWhoseMarkerCannotBeStoredFailsAloneAndTheWalkGoesOn) {
  const std::string root = P("docs");
  // The container keeps a backslash as its own separator: an empty folder so named cannot be
  // stored.
  const std::string refused = "back\\slash";
  fs::create_directories(root + "/" + refused);
  // Files listed after that folder too, in whatever order the file system lists them.
  const auto filesAfterIt = [&] {
    int after = -1;
    for (const auto& entry : fs::directory_iterator(root))
      if (entry.path().filename() == refused)
        after = 0;
      else if (after >= 0)
        ++after;
    return after;
  };
  for (int i = 0; i < 64 && (i < 4 || filesAfterIt() <= 0); ++i)
    WriteBytes(root + "/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  ASSERT_GT(filesAfterIt(), 0);
  const auto before = Snapshot(root);

  const Outcome run = RefusedEncryption(root, before);
  ASSERT_EQ(run.rows.size(), before.size()) << run.Statuses();
  for (const auto& row : run.rows)
    EXPECT_EQ(row[1], row[0] == refused ? StatusText(StatusFileAccessError) : Text(IDS_SUCCESS))
        << row[0];
}

// Records the files the library handled in batches (their names), and lets the test act when
// the `nth` batch has been handed to the workers.
class HandledFiles {
 public:
  explicit HandledFiles(int nth = 0, std::function<void()> atBatch = nullptr)
      : nth_(nth), atBatch_(std::move(atBatch)) {
    FolderEngine::SetTestHook([this](FolderEngine::TestPoint point, const std::string& path) {
      if (point == FolderEngine::TestPoint::FileProcessed) {
        std::lock_guard<std::mutex> guard(lock_);
        names_.push_back(fs::path(path).filename().string());
      } else if (point == FolderEngine::TestPoint::BatchStarted && ++batches_ == nth_) {
        atBatch_();
      }
    });
  }
  ~HandledFiles() { FolderEngine::SetTestHook(nullptr); }
  std::size_t Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return names_.size();
  }
  std::vector<std::string> Names() const {
    std::lock_guard<std::mutex> guard(lock_);
    return names_;
  }
  // Every handled file has its row.
  void ExpectEachHasItsRow(const Outcome& run) const {
    for (const std::string& name : Names())
      EXPECT_TRUE(std::any_of(run.rows.begin(), run.rows.end(),
                              [&](const auto& row) { return row[0] == name; }))
          << name << " was handled but has no row";
  }

 private:
  const int nth_;
  const std::function<void()> atBatch_;
  int batches_ = 0;
  mutable std::mutex lock_;
  std::vector<std::string> names_;
};

TEST_F(FolderEngineTest, AfterCancelEveryFileTheLibraryHandledInABatchHasItsRow) {
  const std::string root = MakeMany("many", 70);
  const auto before = Snapshot(root);
  const std::vector<std::string> order = WalkOrder(root);
  // Cancel is pressed as the dialog starts finishing the first batch, once the library has
  // handled a file of the second. The first batch may be short (a folder's end or a large file
  // ends a batch early): what it held is counted when the second starts.
  HandledFiles* watch = nullptr;
  std::size_t firstBatch = 0;
  HandledFiles handled(2, [&] {
    const std::size_t already = watch->Count();
    firstBatch = already;
    for (int i = 0; i < 2000 && watch->Count() == already; ++i) Sleep(5);
    for (const HWND dialog : OpenDialogs()) {
      DialogState state;
      if (SnapshotDialog(dialog, &state) && state.templateId == IDD_PROGRESS) {
        EXPECT_TRUE(PressDialogButton(dialog, IDCANCEL));
      }
    }
  });
  watch = &handled;
  const Outcome run = RunDialog({root}, true);
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_GT(firstBatch, 0u);
  ASSERT_GT(handled.Count(), firstBatch) << "the second batch was under way";
  handled.ExpectEachHasItsRow(run);
  // In the walk's order; a file one worker had not reached when the other finished a later one
  // has no row between them.
  std::size_t at = 0;
  for (const auto& row : run.rows) {
    while (at < order.size() && order[at] != row[0]) ++at;
    EXPECT_LT(at++, order.size()) << row[0] << " is out of the walk's order";
  }
  EXPECT_EQ(Snapshot(root), before);
  EXPECT_FALSE(Present(root + ".qvef"));
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(FolderEngineTest, NoBatchAfterAFileTheLibraryRefusesIsHandledAndEachHandledFileIsShown) {
  const std::string root = MakeMany("many", 70);
  ASSERT_EQ(RunDialog({root}, true).result, IDOK);
  // Every fifth small image is replaced by one that the folder's key does not open.
  const std::string foreign = ReadBytes(Encrypted("foreign.txt", "not of this folder"));
  const auto changed =
      RunSql(root + ".qvef",
             "UPDATE FILE_DATA SET BLOCK_DATA = ? WHERE FILE_ID IN (SELECT FILE_ID "
             "FROM FILE_INFO WHERE FILE_NAME LIKE 'f%' AND FILE_ID % 5 = 0)",
             foreign);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_GT(std::stoi(changed[0]), 5);
  const std::string container = ReadBytes(root + ".qvef");

  const HandledFiles handled;
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  const Outcome run = RunDialog({root + ".qvef"}, false);
  EXPECT_EQ(run.result, IDCANCEL);
  const auto refused = std::find_if(run.rows.begin(), run.rows.end(),
                                    [](const auto& row) { return row[1] != Text(IDS_SUCCESS); });
  ASSERT_NE(refused, run.rows.end()) << run.Statuses();
  handled.ExpectEachHasItsRow(run);
  // Only files of the refused one's own batch, handled alongside it, may follow it.
  EXPECT_LT(run.rows.end() - refused, 64) << run.Statuses();
  EXPECT_FALSE(Present(root));
  EXPECT_TRUE(ReadBytes(root + ".qvef") == container);
  EXPECT_TRUE(Leftovers().empty());
}

// A process that makes a work folder (a file in it) and tells its path; it then ends at
// once, as a crashed operation would, or waits until the parent closes `holdWriter`, the
// other end of `hold`. The child's pid.
pid_t WorkFolderInChild(const std::string& parent, int tell, int hold = -1, int holdWriter = -1) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (holdWriter >= 0) close(holdWriter);
  const std::string work = QvCreateWorkFolder(parent, ".docs.qvef-work-");
  if (work.empty()) {
    std::fprintf(stderr, "child: no work folder (error %u)\n",
                 static_cast<unsigned>(GetLastError()));
    _exit(1);
  }
  std::ofstream(work + "/half.txt") << "left by an operation";
  const std::string line = work + "\n";
  if (write(tell, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(2);
  char byte = 0;
  if (hold >= 0) (void)!read(hold, &byte, 1);
  _exit(0);
}

std::string ReadLine(int fd) {
  std::string line;
  char c = 0;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

TEST_F(FolderEngineTest, OnlyRecordedWorkFoldersOfEndedProcessesAreRemoved) {
  const std::string root = MakeTree("docs");
  // The user's own folders that merely look like work folders are never taken for one.
  const std::string lookalike = P(".docs.qvef-work-AAAAAA");
  fs::create_directories(lookalike);
  WriteBytes(lookalike + "/mine.txt", "the user's");
  WriteBytes(P(".docs.qvef-work-file"), "a file named like one");

  int tell[2], hold[2];
  ASSERT_EQ(pipe(tell), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t ended = WorkFolderInChild(dir_, tell[1]);
  const std::string stale = ReadLine(tell[0]);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const pid_t running = WorkFolderInChild(dir_, tell[1], hold[0], hold[1]);
  const std::string live = ReadLine(tell[0]);
  ASSERT_TRUE(Present(stale + "/half.txt")) << stale;
  ASSERT_TRUE(Present(live + "/half.txt")) << live;

  ASSERT_EQ(RunDialog({root}, true).result, IDOK);
  EXPECT_FALSE(Present(stale));
  EXPECT_TRUE(Present(live + "/half.txt"));
  EXPECT_EQ(ReadBytes(lookalike + "/mine.txt"), "the user's");
  EXPECT_EQ(ReadBytes(P(".docs.qvef-work-file")), "a file named like one");
  ASSERT_EQ(RunDialog({root + ".qvef"}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(lookalike + "/mine.txt"), "the user's");

  // Once its process has ended, any program's sweep removes it, wherever it is.
  close(hold[1]);
  ASSERT_EQ(waitpid(running, nullptr, 0), running);
  EXPECT_EQ(QvSweepWorkFolders(), 1);
  EXPECT_FALSE(Present(live));
  EXPECT_TRUE(Present(lookalike + "/mine.txt"));

  // A process killed after recording a work folder but before the record had the folder's
  // identity: the folder named by the record's own token goes; a record naming any other
  // folder takes nothing with it.
  const std::string records = QvMachineRoot() + "/work-folders/";
  const std::string orphan = P(".docs.qvef-work-0123456789abcdef");
  fs::create_directories(orphan);
  WriteBytes(orphan + "/half.txt", "half");
  WriteBytes(records + "0123456789abcdef", "0 0\n" + orphan);
  WriteBytes(records + "fedcba9876543210", "0 0\n" + lookalike);
  EXPECT_EQ(QvSweepWorkFolders(), 1);
  EXPECT_FALSE(Present(orphan));
  EXPECT_EQ(ReadBytes(lookalike + "/mine.txt"), "the user's");
  // Nothing is left in the record either.
  EXPECT_TRUE(fs::is_empty(QvMachineRoot() + "/work-folders"));
  for (const int fd : {tell[0], tell[1], hold[0]}) close(fd);
}

// An entry the walk may not store stops the operation at its own row, and nothing is touched:
// a link (never followed), the suite's own install folder, and files named like the empty-folder
// marker (stored, one would be taken for the marker and lost on the way back; decrypted in
// place, one would become such a file).
TEST_F(FolderEngineTest, AnEntryTheWalkMayNotStoreStopsTheOperationUntouched) {
  WriteBytes(P("outside.txt"), "outside");
  const auto markerNamed = [](const char* name) {
    return [name](const std::string& root) {
      WriteBytes(root + "/sub dir/" + name, "the user's own file");
    };
  };
  const struct {
    const char* what;
    std::function<void(const std::string&)> plant;
    std::string row;
    ItemStatus status;
  } cases[] = {
      {"a link",
       [&](const std::string& root) { fs::create_symlink(P("outside.txt"), root + "/link"); },
       "link", StatusFileAccessError},
      {"a marker's name", markerNamed("qvdummyffff.qvf"), "qvdummyffff.qvf",
       StatusSystemOrTempFile},
      {"a marker's name without the suffix", markerNamed("qvdummyffff"), "qvdummyffff",
       StatusSystemOrTempFile},
      {"a marker's name in other case", markerNamed("QvDummyFFFF"), "QvDummyFFFF",
       StatusSystemOrTempFile},
      // Last: the install folder stays registered for the rest of the test.
      {"the suite's install folder",
       [](const std::string& root) {
         fs::create_directories(root + "/suite");
         WriteBytes(root + "/suite/qvclient", "program");
         CRegKey key;
         ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
         ASSERT_EQ(key.SetStringValue("InstallDir", (root + "/suite").c_str()), ERROR_SUCCESS);
       },
       "suite", StatusProtectedLocation},
  };
  int made = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // The whole sample tree: files of the folders walked before are waiting in a batch.
    const std::string root = MakeTree("box" + std::to_string(++made));
    c.plant(root);
    ExpectLastRow(RefusedEncryption(root, Snapshot(root)), c.row, c.status);
  }
  EXPECT_EQ(ReadBytes(P("outside.txt")), "outside");

  // On its own a marker-named file is a file like any other.
  WriteBytes(P("qvdummyffff"), "alone");
  ASSERT_EQ(RunDialog({P("qvdummyffff")}, true).result, IDOK);
  ASSERT_TRUE(Present(P("qvdummyffff.qvf")));
  const Outcome again = RunDialog({P("qvdummyffff.qvf")}, true);
  ASSERT_EQ(again.result, IDOK) << again.Statuses();
  ASSERT_EQ(RunDialog({P("qvdummyffff.qvf")}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("qvdummyffff")), "alone");
}

// Runs `hook` at the engine's test points while it lives.
class HookGuard {
 public:
  explicit HookGuard(std::function<void(FolderEngine::TestPoint, const std::string&)> hook) {
    FolderEngine::SetTestHook(std::move(hook));
  }
  ~HookGuard() { FolderEngine::SetTestHook({}); }
};

TEST_F(FolderEngineTest, WhatIsWrittenWhileAFolderIsEncryptedIsKeptNeverDeleted) {
  const std::string root = MakeTree("docs");
  struct Writer {
    const char* what;
    std::function<void(const std::string&)> write;
    std::string changed;  // the row that must say so
  } writers[] = {
      {"appends to a stored file",
       [](const std::string& r) { std::ofstream(r + "/a.txt", std::ios::app) << " and more"; },
       "a.txt"},
      {"writes a new file", [](const std::string& r) { WriteBytes(r + "/sub dir/new.txt", "new"); },
       "new.txt"},
      {"makes a new subfolder",
       [](const std::string& r) {
         fs::create_directories(r + "/fresh");
         WriteBytes(r + "/fresh/inner.txt", "inner");
       },
       "fresh"},
  };
  for (const Writer& writer : writers) {
    SCOPED_TRACE(writer.what);
    std::map<std::string, std::string> expected;
    // The other program writes after every file was stored, before the folder goes.
    const HookGuard hook([&](FolderEngine::TestPoint point, const std::string& folder) {
      if (point != FolderEngine::TestPoint::SourceDeletion) return;
      writer.write(folder);
      expected = Snapshot(folder);
    });
    // Nothing was deleted, and the container that would not hold it is gone.
    const Outcome run = RefusedEncryption(root, expected);
    // Its own row after the rows of the files stored.
    const auto row = std::find_if(run.rows.rbegin(), run.rows.rend(),
                                  [&](const auto& r) { return r[0] == writer.changed; });
    ASSERT_NE(row, run.rows.rend()) << run.Statuses();
    EXPECT_EQ((*row)[1], StatusText(StatusSourceInUse));
  }
  // With the writers done, the folder goes into its container whole.
  const auto final = Snapshot(root);
  ASSERT_EQ(RunDialog({root}, true).result, IDOK);
  ASSERT_EQ(RunDialog({root + ".qvef"}, false).result, IDOK);
  EXPECT_EQ(Snapshot(root), final);
  EXPECT_EQ(ReadBytes(root + "/a.txt"), "alpha and more");
}

TEST_F(FolderEngineTest, ASubfolderSwappedForALinkMidWalkIsNeitherFollowedNorStored) {
  const std::string root = MakeTree("docs");
  const std::string outside = P("outside");
  fs::create_directories(outside);
  WriteBytes(outside + "/secret.txt", "not in the folder");
  std::map<std::string, std::string> swapped;
  const HookGuard hook([&](FolderEngine::TestPoint point, const std::string& folder) {
    if (point != FolderEngine::TestPoint::FolderListed || folder != root) return;
    // Listed as a folder; by the time the walk gets to it, it is a link.
    fs::rename(root + "/sub dir", P("sub dir moved"));
    fs::create_directory_symlink(outside, root + "/sub dir");
    swapped = Snapshot(root);
  });
  const Outcome run = RefusedEncryption(root, swapped);
  for (const auto& row : run.rows) EXPECT_NE(row[0], "secret.txt") << run.Statuses();
  ExpectLastRow(run, "sub dir", StatusFileAccessError);
  EXPECT_EQ(ReadBytes(outside + "/secret.txt"), "not in the folder");
  EXPECT_TRUE(fs::is_symlink(root + "/sub dir"));
}

// Makes `path` impossible to delete for this process (immutable for root, which may delete
// anything else; a read-only folder for anyone else). False when the file system does not
// allow it.
bool MakeUndeletable(const std::string& folder, const std::string& file, bool undo = false) {
  if (geteuid() != 0) return chmod(folder.c_str(), undo ? 0755 : 0555) == 0;
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = undo ? (flags & ~FS_IMMUTABLE_FL) : (flags | FS_IMMUTABLE_FL);
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return done;
}

TEST_F(FolderEngineTest, AnEntryThatCannotBeDeletedKeepsTheWholeSourceAndNoContainer) {
  const std::string root = MakeTree("docs");
  const auto tree = Snapshot(root);
  const std::string stuck = root + "/sub dir/deeper";
  if (!MakeUndeletable(stuck, stuck + "/block.bin"))
    GTEST_SKIP() << "this file system cannot make an entry undeletable";
  const Outcome run = RefusedEncryption(root, tree);
  (void)MakeUndeletable(stuck, stuck + "/block.bin", true);
  ASSERT_FALSE(run.rows.empty());
  EXPECT_EQ(run.rows.back()[1], StatusText(StatusSourceNotDeleted)) << run.Statuses();
  // Nothing stands in the way of doing it again.
  ASSERT_EQ(RunDialog({root}, true).result, IDOK);
  ASSERT_EQ(RunDialog({root + ".qvef"}, false).result, IDOK);
  EXPECT_EQ(Snapshot(root), tree);
}

// Items dropped into a container that is open in a view.
class OpenContainerTest : public FolderEngineTest {
 protected:
  // box.qvef, encrypted from a folder "box" holding `files` (name and bytes).
  void MakeBox(const std::map<std::string, std::string>& files = {}) {
    fs::create_directories(P("box"));
    for (const auto& [name, bytes] : files) WriteBytes(P("box/" + name), bytes);
    ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);
  }
  // Items dropped into the container (or, decrypting, copies taken out of it into
  // `directory`).
  Outcome Drop(std::vector<std::string> items, const std::string& directory, bool keepSource,
               bool encrypt = true) {
    OperationRequest request = Request(std::move(items), encrypt, "alice");
    request.keepSource = keepSource;
    request.container = ContainerArguments{directory, P("box.qvef"), 0};
    return RunRequest(std::move(request));
  }
};

TEST_F(OpenContainerTest, DroppedItemsAreAddedAndADeclinedReplacementKeepsThePlainFile) {
  ASSERT_NO_FATAL_FAILURE(MakeBox({{"kept.txt", "in the box"}}));

  const std::string drop = P("drop");
  fs::create_directories(drop + "/folder");
  WriteBytes(drop + "/new.txt", "new");
  WriteBytes(drop + "/folder/inner.txt", "inner");
  WriteBytes(drop + "/kept.txt", "would replace");
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDCANCEL);  // "No"
  const Outcome run = Drop({drop + "/new.txt", drop + "/folder", drop + "/kept.txt"}, drop, false);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  // Stored items go (the container holds them); the declined one stays, image and all gone.
  EXPECT_FALSE(Present(drop + "/new.txt"));
  EXPECT_FALSE(Present(drop + "/folder"));
  EXPECT_EQ(ReadBytes(drop + "/kept.txt"), "would replace");
  for (const auto& entry : fs::directory_iterator(P("")))
    EXPECT_EQ(entry.path().filename().string().find(".qvef-work-"), std::string::npos);

  ASSERT_EQ(RunDialog({P("box.qvef")}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("box/kept.txt")), "in the box");
  EXPECT_EQ(ReadBytes(P("box/new.txt")), "new");
  EXPECT_EQ(ReadBytes(P("box/folder/inner.txt")), "inner");
}

TEST_F(OpenContainerTest, KeepSourceLeavesTheDroppedItemsAndAMissingContainerIsReported) {
  ASSERT_NO_FATAL_FAILURE(MakeBox());
  WriteBytes(P("copy.txt"), "copied in");
  Outcome run = Drop({P("copy.txt")}, dir_, true);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(ReadBytes(P("copy.txt")), "copied in");

  fs::rename(P("box.qvef"), P("moved.qvef"));
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  run = Drop({P("copy.txt")}, dir_, false);
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0][1], StatusText(StatusFileAccessError));
  EXPECT_EQ(ReadBytes(P("copy.txt")), "copied in");

  fs::rename(P("moved.qvef"), P("box.qvef"));
  ASSERT_EQ(RunDialog({P("box.qvef")}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("box/copy.txt")), "copied in");

  // A container without its header is not open either, and a dropped encrypted file is not
  // decrypted in place for it.
  ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);
  WriteBytes(P("sealed.txt"), "sealed");
  ASSERT_EQ(RunDialog({P("sealed.txt")}, true).result, IDOK);
  const std::string sealed = ReadBytes(P("sealed.txt.qvf"));
  EXPECT_EQ(RunSql(P("box.qvef"), "DELETE FROM FOLDER_OPTIONS WHERE FOLDER_ID = 0"),
            std::vector<std::string>{"1"});
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  run = Drop({P("sealed.txt.qvf")}, dir_, false);
  ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
  EXPECT_EQ(run.rows[0][1], StatusText(StatusFileAccessError));
  EXPECT_EQ(ReadBytes(P("sealed.txt.qvf")), sealed);
  EXPECT_FALSE(Present(P("sealed.txt")));
}

TEST_F(OpenContainerTest, YesToReplaceTakesACopyOutOverThePlainFileAndAFailureBringsItBack) {
  ASSERT_NO_FATAL_FAILURE(MakeBox({{"a.txt", "inside"}}));
  const std::string out = P("out");
  fs::create_directories(out);
  // The encrypted copy of a.txt, as the view takes it out of the container.
  const auto takeCopyOut = [&] {
    const std::string where = " FROM FILE_INFO WHERE FILE_NAME = 'a.txt.qvf'";
    const auto folder = RunSql(P("box.qvef"), "SELECT FOLDER_ID" + where);
    const auto file = RunSql(P("box.qvef"), "SELECT FILE_ID" + where);
    ASSERT_EQ(folder.size(), 1u);
    ASSERT_EQ(file.size(), 1u);
    QVDatabase container;
    ASSERT_EQ(container.Open(P("box.qvef"), FALSE), VARIANT_TRUE);
    ASSERT_EQ(container.ExtractFileTo(static_cast<DWORD>(std::stoul(folder[0])),
                                      static_cast<DWORD>(std::stoul(file[0])), out + "/"),
              VARIANT_TRUE);
    (void)container.Close();
    ASSERT_TRUE(Present(out + "/a.txt.qvf"));
  };
  const auto leftovers = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out))
      names.push_back(entry.path().filename().string());
    return names;
  };

  WriteBytes(out + "/a.txt", "older plain");
  takeCopyOut();
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDOK);  // "Yes"
  Outcome run = Drop({out + "/a.txt.qvf"}, out, false, false);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(ReadBytes(out + "/a.txt"), "inside");
  EXPECT_EQ(leftovers(), std::vector<std::string>{"a.txt"});

  // A copy that does not decrypt leaves the plain file as it was.
  WriteBytes(out + "/a.txt", "older plain");
  takeCopyOut();
  std::string damaged = ReadBytes(out + "/a.txt.qvf");
  damaged[damaged.size() - 3] ^= 0x5a;
  WriteBytes(out + "/a.txt.qvf", damaged);
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDOK);
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  run = Drop({out + "/a.txt.qvf"}, out, false, false);
  EXPECT_EQ(run.result, IDCANCEL) << run.Statuses();
  ASSERT_FALSE(run.rows.empty());
  EXPECT_NE(run.rows[0][1], Text(IDS_SUCCESS));
  EXPECT_EQ(ReadBytes(out + "/a.txt"), "older plain");
  auto names = leftovers();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "a.txt.qvf"}));
}

TEST_F(OpenContainerTest, ADropCancelledMidwayLosesNoFile) {
  ASSERT_NO_FATAL_FAILURE(MakeBox());
  const std::string drop = MakeMany("many", 60);
  const auto before = Snapshot(drop);

  ui_.PressAfterProgressSteps(IDD_PROGRESS, IDC_PROGRESS_BAR, 30);
  EXPECT_EQ(Drop({drop}, dir_, false).result, IDCANCEL);
  const auto left = Present(drop) ? Snapshot(drop) : std::map<std::string, std::string>{};
  ASSERT_EQ(RunDialog({P("box.qvef")}, false).result, IDOK);
  const auto stored = Snapshot(P("box"));
  // Each file is still where it was or in the container, once, with its bytes.
  int inBox = 0;
  for (const auto& [name, bytes] : before) {
    if (bytes == "<dir>") continue;
    const auto kept = left.find(name);
    const auto moved = stored.find("many/" + name);
    EXPECT_NE(kept != left.end(), moved != stored.end()) << name;
    if (kept != left.end()) {
      EXPECT_TRUE(kept->second == bytes) << name;
    }
    if (moved != stored.end()) {
      EXPECT_TRUE(moved->second == bytes) << name;
    }
    inBox += moved != stored.end() ? 1 : 0;
  }
  EXPECT_GE(inBox, 30);
  EXPECT_TRUE(Leftovers().empty());
}

// The stored names the container holds now, read by another connection.
std::set<std::string> CommittedNames(const std::string& container) {
  std::set<std::string> committed;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(container.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT FILE_NAME FROM FILE_INFO", -1, &rows, nullptr) == SQLITE_OK)
      while (sqlite3_step(rows) == SQLITE_ROW)
        committed.insert(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
    sqlite3_finalize(rows);
  }
  sqlite3_close(db);
  return committed;
}

// A moved folder's files, and the files of a moved selection, share the container's
// transactions: each source goes only once a commit holds its file, and another connection
// reading the container at any batch (a folder) or after any stored file (a selection) finds
// every file that is gone from its place. Everything arrives, and the sources go.
TEST_F(OpenContainerTest, AMovedFileLeavesOnlyOnceTheContainerHoldsIt) {
  ASSERT_NO_FATAL_FAILURE(MakeBox());
  for (const bool selection : {false, true}) {
    SCOPED_TRACE(selection ? "a selection of files" : "a folder");
    const std::string drop = MakeMany(selection ? "picked" : "many", selection ? 60 : 200);
    const auto before = Snapshot(drop);
    // The files that move: the selected ones, or the whole folder's.
    std::vector<std::string> moved;
    for (const auto& [name, bytes] : before)
      if (bytes != "<dir>" && (!selection || name.find('/') == std::string::npos))
        moved.push_back(name);
    std::vector<std::string> items = {drop};
    if (selection) {
      items.clear();
      for (const std::string& name : moved) items.push_back(drop + "/" + name);
    }
    int checks = 0;
    std::vector<std::string> early;
    HookGuard hook([&](FolderEngine::TestPoint point, const std::string&) {
      if (point !=
          (selection ? FolderEngine::TestPoint::FileStored : FolderEngine::TestPoint::BatchStarted))
        return;
      ++checks;
      const std::set<std::string> committed = CommittedNames(P("box.qvef"));
      for (const auto& [name, bytes] : before)
        if (bytes != "<dir>" && !Present(drop + "/" + name) &&
            committed.count(fs::path(name).filename().string() + ".qvf") == 0)
          early.push_back(name);
    });
    const Outcome run = Drop(items, dir_, false);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    EXPECT_GE(checks, 3);
    EXPECT_TRUE(early.empty()) << early.size() << " files left before a commit held them, first "
                               << early.front();
    const std::string prefix = fs::path(drop).filename().string() + "/";
    for (const std::string& item : items) EXPECT_FALSE(Present(item)) << item;
    ASSERT_EQ(RunDialog({P("box.qvef")}, false).result, IDOK);
    std::size_t arrived = 0;
    const auto box = Snapshot(P("box"));
    for (const std::string& name : moved) {
      const auto stored = box.find(prefix + name);
      arrived += stored != box.end() && stored->second == before.at(name) ? 1 : 0;
    }
    EXPECT_EQ(arrived, moved.size());
    // The next case starts from an empty container again: its stored names must not be found
    // as this case's.
    fs::remove_all(P("box/") + prefix);
    ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);
  }
}

// A commit that fails at the end of a moved selection deletes no source: every file is still
// where it was, and the operation fails.
TEST_F(OpenContainerTest, AFailedCommitOfMovedFilesDeletesNoSource) {
  ASSERT_NO_FATAL_FAILURE(MakeBox());
  std::vector<std::string> items;
  for (int i = 0; i < 3; ++i) {
    items.push_back(P("m" + std::to_string(i) + ".txt"));
    WriteBytes(items.back(), Bytes(100 + i, i));
  }
  // A reader that holds the container from the last stored file on keeps the commit out.
  sqlite3* reader = nullptr;
  HookGuard hook([&](FolderEngine::TestPoint point, const std::string& path) {
    if (point != FolderEngine::TestPoint::FileStored || path != items.back()) return;
    if (sqlite3_open_v2(P("box.qvef").c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
      (void)sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM FILE_INFO;", nullptr, nullptr,
                         nullptr);
  });
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);  // closes the failed operation's dialog
  const Outcome run = Drop(items, dir_, false);
  sqlite3_close(reader);
  EXPECT_EQ(run.result, IDCANCEL) << run.Statuses();
  ASSERT_FALSE(run.rows.empty());
  EXPECT_EQ(run.rows.back()[1], StatusText(StatusFileAccessError));
  for (const std::string& item : items) EXPECT_TRUE(Present(item)) << item;
  EXPECT_EQ(CommittedNames(P("box.qvef")).count("m0.txt.qvf"), 0u);
}

TEST(FolderEngineNames, TheTargetFolderOfAContainer) {
  EXPECT_EQ(FolderEngine::TargetFolderOf("/a/docs.qvef"), "/a/docs");
  EXPECT_EQ(FolderEngine::TargetFolderOf("/a/docs.QVEF"), "/a/docs");
  EXPECT_EQ(FolderEngine::TargetFolderOf("/a/docs.qvef.quorvinencryptedtempfile"), "/a/docs");
}

}  // namespace
