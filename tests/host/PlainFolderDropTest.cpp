// The plain-folder receiver against a source that behaves, and one whose streams fail, whose
// sizes lie and whose names are hostile: nothing lands outside the destination, no cut file
// appears under a real name, nothing is replaced without a yes, and the source is told a move
// only when every file arrived.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "host/PlainFolderDrop.h"
#include "host/ReceiptProgressLine.h"
#include "platform/FileTime.h"
#include "platform/Files.h"
#include "platform/Ole.h"
#include "platform/StagedFile.h"
#include "platform/shell/FileGroupDescriptor.h"
#include "tests/common/TestRoot.h"

namespace {

namespace fs = std::filesystem;

// Serves `bytes` in small reads; fails after `failAfter` bytes when that is set.
class TestStream final : public ComObject<IStream> {
 public:
  TestStream(std::string bytes, std::size_t failAfter)
      : bytes_(std::move(bytes)), failAfter_(failAfter) {}
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    *pcbRead = 0;
    if (position_ >= failAfter_) return E_UNEXPECTED;
    const std::size_t n = std::min<std::size_t>({cb, 7, bytes_.size() - position_});
    std::memcpy(pv, bytes_.data() + position_, n);
    position_ += n;
    *pcbRead = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
  }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

 private:
  std::string bytes_;
  std::size_t position_ = 0;
  std::size_t failAfter_;
};

struct VirtualFile {
  std::string name;
  std::string bytes;
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  std::size_t failAfter = std::string::npos;
  std::uint64_t announcedSize = std::uint64_t(-1);  // the real size unless set
  DWORD flags = FD_ATTRIBUTES | FD_WRITESTIME | FD_FILESIZE | FD_PROGRESSUI;
};

// A source offering virtual files as the container view's data object does.
class VirtualFiles final : public ComObject<IDataObject> {
 public:
  explicit VirtualFiles(std::vector<VirtualFile> files, bool wide = false)
      : files_(std::move(files)), wide_(wide) {}
  DWORD performedEffect = 0xFFFF;      // "never told"
  HGLOBAL replacementGroup = nullptr;  // served instead of the built descriptor when set

  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override {
    *medium = {};
    if (format->cfFormat == Format(wide_ ? CFSTR_FILEDESCRIPTORW : CFSTR_FILEDESCRIPTORA)) {
      medium->tymed = TYMED_HGLOBAL;
      if (replacementGroup != nullptr) {
        medium->hGlobal = std::exchange(replacementGroup, nullptr);
        return S_OK;
      }
      std::vector<FileGroupEntry> entries;
      for (const VirtualFile& file : files_) {
        FileGroupEntry entry;
        entry.name = file.name;
        entry.flags = file.flags;
        entry.attributes = file.attributes;
        entry.lastWriteTime = FileTimeFromTicks(133000000000000000ull);
        entry.size =
            file.announcedSize != std::uint64_t(-1) ? file.announcedSize : file.bytes.size();
        entries.push_back(entry);
      }
      medium->hGlobal = CreateFileGroupDescriptor(entries, wide_);
      return medium->hGlobal != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    if (format->cfFormat == Format(CFSTR_FILECONTENTS)) {
      if (format->lindex < 0 || static_cast<std::size_t>(format->lindex) >= files_.size())
        return E_INVALIDARG;
      const VirtualFile& file = files_[static_cast<std::size_t>(format->lindex)];
      medium->tymed = TYMED_ISTREAM;
      medium->pstm = new TestStream(file.bytes, file.failAfter);
      return S_OK;
    }
    return DV_E_FORMATETC;
  }
  HRESULT SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override {
    if (format->cfFormat != Format(CFSTR_PERFORMEDDROPEFFECT) || GlobalSize(medium->hGlobal) < 4)
      return E_INVALIDARG;
    std::memcpy(&performedEffect, GlobalLock(medium->hGlobal), 4);
    (void)GlobalUnlock(medium->hGlobal);
    if (release) ReleaseStgMedium(medium);
    return S_OK;
  }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  static CLIPFORMAT Format(const char* name) {
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatA(name));
  }
  std::vector<VirtualFile> files_;
  bool wide_;
};

class PlainFolderDrop : public RootedTest {
 protected:
  void SetUp() override {
    destination_ = root_.Sub("dest");
    fs::create_directory(destination_);
  }
  // Every entry below the destination, as relative paths.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(destination_))
      names.push_back(entry.path().lexically_relative(destination_).string());
    std::sort(names.begin(), names.end());
    return names;
  }
  HRESULT Receive(VirtualFiles* source, DWORD requested, PlainFolderDropResult* result,
                  std::function<ReplaceAnswer(const std::string&)> confirm = nullptr) {
    PlainFolderDropOptions options;
    options.requestedEffect = requested;
    options.confirmReplace = std::move(confirm);
    return ReceiveIntoPlainFolder(source, destination_, options, result);
  }
  std::string destination_;
};

TEST_F(PlainFolderDrop, TreeArrivesWithTimesReadOnlyAndEmptyFoldersAndTheMoveIsReported) {
  for (const bool wide : {false, true}) {
    fs::remove_all(destination_);
    fs::create_directory(destination_);
    const std::string big(1024 * 1024 + 1, 'x');
    VirtualFile folder{".\\Docs\\Empty", "", FILE_ATTRIBUTE_DIRECTORY};
    VirtualFile readOnly{"report.doc", "report", FILE_ATTRIBUTE_READONLY};
    ComPtr<VirtualFiles> source;
    source.Attach(new VirtualFiles(
        {readOnly, {".\\Docs\\a.txt", "alpha"}, {".\\Docs\\Sub/b.txt", big}, folder}, wide));
    PlainFolderDropResult result;
    ASSERT_EQ(Receive(source.Get(), DROPEFFECT_MOVE, &result), S_OK);
    EXPECT_EQ(result.arrived, 4u);
    EXPECT_EQ(result.performedEffect, DROPEFFECT_MOVE);
    EXPECT_EQ(source->performedEffect, DROPEFFECT_MOVE);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"Docs", "Docs/Empty", "Docs/Sub",
                                                   "Docs/Sub/b.txt", "Docs/a.txt", "report.doc"}));
    EXPECT_EQ(ReadTextFile(destination_ + "/Docs/Sub/b.txt"), big);
    struct stat info;
    ASSERT_EQ(stat((destination_ + "/report.doc").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);
    FILETIME written{};
    ASSERT_TRUE(GetFileTimesA((destination_ + "/Docs/a.txt").c_str(), nullptr, nullptr, &written));
    EXPECT_EQ(FileTimeToTicks(written), 133000000000000000ull);
  }
}

TEST_F(PlainFolderDrop, FailedAndLyingStreamsLeaveNoFileAndTurnAMoveIntoACopy) {
  ComPtr<VirtualFiles> source;
  VirtualFile broken{"broken.bin", std::string(100, 'b')};
  broken.failAfter = 50;
  VirtualFile brokenUnsized = broken;
  brokenUnsized.name = "unsized.bin";
  brokenUnsized.flags = FD_PROGRESSUI;  // nothing to compare with: only the failure tells
  VirtualFile shortOne{"short.bin", "abc"};
  shortOne.announcedSize = 4;
  VirtualFile longOne{"long.bin", "abcde"};
  longOne.announcedSize = 4;
  source.Attach(new VirtualFiles({{"good.txt", "fine"}, broken, brokenUnsized, shortOne, longOne}));
  PlainFolderDropResult result;
  EXPECT_EQ(Receive(source.Get(), DROPEFFECT_MOVE, &result), S_FALSE);
  EXPECT_EQ(result.failures.size(), 4u);
  EXPECT_EQ(result.performedEffect, DROPEFFECT_COPY);
  EXPECT_EQ(source->performedEffect, DROPEFFECT_COPY);
  // Neither the cut files nor their temporary names remain.
  EXPECT_EQ(Listing(), std::vector<std::string>{"good.txt"});
}

TEST_F(PlainFolderDrop, APartialMoveIsReportedOnlyWhenNothingDeliveredWentMissing) {
  // A source that deletes only files it delivered to their end: a file that failed before its
  // first byte may stay behind in it, one that was delivered and then lost may not.
  VirtualFile failsAtOnce{"tampered.bin", "xyz"};
  failsAtOnce.failAfter = 0;
  VirtualFile failsLater{"cut off.bin", std::string(100, 'c')};
  failsLater.failAfter = 50;
  VirtualFile lying{"lying.bin", "abc"};
  lying.announcedSize = 4;
  const struct {
    VirtualFile second;
    bool taken;
    DWORD effect;
  } cases[] = {
      {failsAtOnce, false, DROPEFFECT_MOVE},
      {failsLater, false, DROPEFFECT_COPY},
      {lying, false, DROPEFFECT_COPY},
      {{"taken.txt", "new"}, true, DROPEFFECT_COPY},
  };
  for (const auto& c : cases) {
    fs::remove_all(destination_);
    fs::create_directory(destination_);
    if (c.taken) WriteTextFile(destination_ + "/taken.txt", "old");
    ComPtr<VirtualFiles> source;
    source.Attach(new VirtualFiles({{"good.txt", "fine"}, c.second}));
    PlainFolderDropOptions options;
    options.requestedEffect = DROPEFFECT_MOVE;
    options.sourceMovesReadFilesOnly = true;
    PlainFolderDropResult result;
    (void)ReceiveIntoPlainFolder(source.Get(), destination_, options, &result);
    EXPECT_EQ(result.arrived, 1u) << c.second.name;
    EXPECT_EQ(source->performedEffect, c.effect) << c.second.name;
    EXPECT_EQ(ReadTextFile(destination_ + "/good.txt"), "fine");
  }
}

TEST_F(PlainFolderDrop, HostileNamesWriteNothingOutsideOrAtAll) {
  fs::create_directory(root_.Sub("outside"));
  fs::create_symlink(root_.Sub("outside"), destination_ + "/link");
  ComPtr<VirtualFiles> source;
  source.Attach(new VirtualFiles({{"..\\escape.txt", "x"},
                                  {"a\\..\\..\\escape.txt", "x"},
                                  {"\\abs.txt", "x"},
                                  {"/abs.txt", "x"},
                                  {"C:\\abs.txt", "x"},
                                  {"a\\\\b.txt", "x"},
                                  {"bell\x07.txt", "x"},
                                  {"link\\through.txt", "x"},
                                  {"dir\\", "x"}}));
  PlainFolderDropResult result;
  EXPECT_EQ(Receive(source.Get(), DROPEFFECT_MOVE, &result), S_FALSE);
  EXPECT_EQ(result.failures.size(), 9u);
  EXPECT_EQ(result.performedEffect, DROPEFFECT_NONE);
  EXPECT_EQ(source->performedEffect, DROPEFFECT_NONE);
  EXPECT_EQ(Listing(), std::vector<std::string>{"link"});
  EXPECT_TRUE(fs::is_empty(root_.Sub("outside")));
  EXPECT_FALSE(fs::exists(root_.Sub("escape.txt")));
}

TEST_F(PlainFolderDrop, ExistingNamesAreReplacedOnlyOnYesAndAKeptFileIsNoMove) {
  WriteTextFile(destination_ + "/one.txt", "old one");
  WriteTextFile(destination_ + "/two.txt", "old two");
  WriteTextFile(destination_ + "/three.txt", "old three");
  fs::create_directory(destination_ + "/folder.txt");
  ComPtr<VirtualFiles> source;
  source.Attach(new VirtualFiles(
      {{"one.txt", "new one"}, {"two.txt", "new two"}, {"three.txt", "new three"}}));
  std::vector<std::string> asked;
  const auto answers = [&](const std::string& path) {
    asked.push_back(path);
    return asked.size() == 1 ? ReplaceAnswer::kYes : ReplaceAnswer::kNoToAll;
  };
  PlainFolderDropResult result;
  EXPECT_EQ(Receive(source.Get(), DROPEFFECT_MOVE, &result, answers), S_OK);
  EXPECT_EQ(asked,
            (std::vector<std::string>{destination_ + "/one.txt", destination_ + "/two.txt"}));
  EXPECT_EQ(ReadTextFile(destination_ + "/one.txt"), "new one");
  EXPECT_EQ(ReadTextFile(destination_ + "/two.txt"), "old two");
  EXPECT_EQ(ReadTextFile(destination_ + "/three.txt"), "old three");
  EXPECT_EQ(result.skipped, 2u);
  EXPECT_EQ(source->performedEffect, DROPEFFECT_COPY);

  // Without anyone to ask nothing is replaced, and a folder is never replaced by a file.
  source.Attach(new VirtualFiles({{"one.txt", "newer"}, {"folder.txt", "file"}}));
  EXPECT_EQ(Receive(source.Get(), DROPEFFECT_COPY, &result,
                    [](const std::string&) { return ReplaceAnswer::kYes; }),
            S_FALSE);
  EXPECT_EQ(ReadTextFile(destination_ + "/one.txt"), "newer");
  EXPECT_TRUE(fs::is_directory(destination_ + "/folder.txt"));
  EXPECT_EQ(Listing().size(), 4u);  // no temporary file left beside them
}

// Files are flushed and named in batches: a receipt of several batches brings every file,
// asks about a taken name in a later batch, and leaves no temporary name behind.
TEST_F(PlainFolderDrop, ManyFilesArriveInBatchesWithTheQuestionsOfEach) {
  fs::create_directory(destination_ + "/d1");
  WriteTextFile(destination_ + "/d1/f70.txt", "old");
  std::vector<VirtualFile> files;
  for (int i = 0; i < 150; ++i)
    files.push_back({"d" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".txt",
                     "file " + std::to_string(i)});
  files[100].failAfter = 2;
  ComPtr<VirtualFiles> source;
  source.Attach(new VirtualFiles(files));
  std::vector<std::string> asked;
  PlainFolderDropResult result;
  EXPECT_EQ(Receive(source.Get(), DROPEFFECT_MOVE, &result,
                    [&](const std::string& path) {
                      asked.push_back(path);
                      return ReplaceAnswer::kNo;
                    }),
            S_FALSE);
  EXPECT_EQ(asked, std::vector<std::string>{destination_ + "/d1/f70.txt"});
  EXPECT_EQ(result.arrived, 148u);
  EXPECT_EQ(result.skipped, 1u);
  EXPECT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(source->performedEffect, DROPEFFECT_COPY);
  EXPECT_EQ(Listing().size(), 3u + 149u);  // the folders and the files, no temporary name
  EXPECT_EQ(ReadTextFile(destination_ + "/d1/f70.txt"), "old");
  EXPECT_EQ(ReadTextFile(destination_ + "/d2/f149.txt"), "file 149");
  EXPECT_FALSE(fs::exists(destination_ + "/d1/f100.txt"));
}

// A received file never takes its name before it is on disk.
TEST_F(PlainFolderDrop, AStagedFileTakesItsNameOnlyOnceFlushed) {
  StagedFile file;
  ASSERT_TRUE(file.Create(destination_.c_str(), {}));
  ASSERT_TRUE(file.Write("abc", 3));
  ASSERT_TRUE(file.Finish(nullptr, false));
  EXPECT_FALSE(file.Place("a.txt", false));
  ASSERT_TRUE(file.Flush());
  ASSERT_TRUE(file.Write("d", 1));
  EXPECT_FALSE(file.Place("a.txt", false)) << "written again since the flush";
  ASSERT_TRUE(file.Flush());
  EXPECT_TRUE(file.Place("a.txt", false));
  EXPECT_EQ(ReadTextFile(destination_ + "/a.txt"), "abcd");
}

TEST_F(PlainFolderDrop, MalformedDescriptorIsRefusedBeforeAnythingIsWritten) {
  ComPtr<VirtualFiles> source;
  source.Attach(new VirtualFiles(std::vector<VirtualFile>{{"a.txt", "a"}}));
  source->replacementGroup = GlobalAlloc(GPTR, 4 + 100);
  const UINT lying = 3;
  std::memcpy(GlobalLock(source->replacementGroup), &lying, 4);
  (void)GlobalUnlock(source->replacementGroup);
  PlainFolderDropResult result;
  EXPECT_EQ(Receive(source.Get(), DROPEFFECT_MOVE, &result), E_INVALIDARG);
  EXPECT_EQ(source->performedEffect, DROPEFFECT_NONE);
  EXPECT_TRUE(fs::is_empty(destination_));
}

TEST_F(PlainFolderDrop, ProgressCountsFilesAndBytesAndIsDrawnOnlyOnATerminal) {
  const std::string big(1024 * 1024 + 1, 'x');
  ComPtr<VirtualFiles> source;
  source.Attach(new VirtualFiles(
      {{"a.txt", "abc"}, {"Docs", "", FILE_ATTRIBUTE_DIRECTORY}, {"Docs\\big.bin", big}}));
  std::vector<ReceiptProgress> told;
  PlainFolderDropOptions options;
  options.progress = [&](const ReceiptProgress& progress) { told.push_back(progress); };
  PlainFolderDropResult result;
  ASSERT_EQ(ReceiveIntoPlainFolder(source.Get(), destination_, options, &result), S_OK);
  ASSERT_GT(told.size(), 3u);  // the start, each chunk, each file
  const std::uint64_t bytes = 3 + big.size();
  EXPECT_EQ(told.front().filesDone + told.front().bytesDone, 0u);
  for (std::size_t i = 0; i < told.size(); ++i) {
    EXPECT_EQ(told[i].files, 2u) << i;  // the folder is no file
    EXPECT_EQ(told[i].bytes, bytes) << i;
    EXPECT_GE(told[i].bytesDone, told[i == 0 ? 0 : i - 1].bytesDone) << i;
  }
  EXPECT_EQ(told.back().filesDone, 2u);
  EXPECT_EQ(told.back().bytesDone, bytes);
  EXPECT_EQ(ReceiptProgressLine::Count(told.back()), "2/2 files, 1.0/1.0 MiB");

  // Drawn as one line redrawn in place and ended; nothing at all where no terminal is.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  {
    ReceiptProgressLine shown(pipeEnds[1], true), unseen(pipeEnds[1]);
    for (ReceiptProgressLine* line : {&shown, &unseen}) {
      line->Show({0, 2, 0, 0});
      line->Show(told.back());
    }
  }
  close(pipeEnds[1]);
  std::string drawn(4096, '\0');
  drawn.resize(static_cast<std::size_t>(
      std::max<ssize_t>(0, read(pipeEnds[0], drawn.data(), drawn.size()))));
  close(pipeEnds[0]);
  EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\r'), 2) << drawn;
  EXPECT_NE(drawn.find("receiving [....................] 0/2 files\x1b[K"), std::string::npos)
      << drawn;
  EXPECT_NE(drawn.find("[####################] 2/2 files, 1.0/1.0 MiB\x1b[K\n"), std::string::npos)
      << drawn;
  EXPECT_EQ(drawn.back(), '\n');
}

}  // namespace
