// libFuzzer target for the container store: the input becomes a container file, the store
// opens it, holds it against writers as a restore does, and runs every read operation on it
// (listings, file rows, folder names, the protection record, single-file and whole-container
// extraction), then deletes it as the end of a restore does; afterwards nothing may exist
// outside the extraction folders. Anything escaping aborts the run, and so does a failure
// that does not say why.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "container/QVSQLiteDatabase.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxRows = 64;

std::string g_work;

// A private folder for the run, removed when the fuzzer exits.
std::string WorkFolder() {
  const char* tmp = std::getenv("TMPDIR");
  g_work = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qvcontainerfuzz-XXXXXX";
  if (mkdtemp(g_work.data()) == nullptr) std::abort();
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(g_work, ignored);
  });
  return g_work;
}

struct Row {
  DWORD folder;
  DWORD file;
};

// The (folder, file) pairs of a file listing, or the ids of a folder listing.
std::vector<Row> Rows(VARIANT& value, int idColumn, int folderColumn) {
  std::vector<Row> rows;
  if (value.vt != (VT_ARRAY | VT_VARIANT)) return rows;
  LONG upper = -1;
  if (SafeArrayGetUBound(value.parray, 2, &upper) != S_OK) std::abort();
  for (LONG r = 0; r <= upper && rows.size() < kMaxRows; ++r) {
    VARIANT id{}, folder{};
    LONG idIndex[2] = {idColumn, r};
    LONG folderIndex[2] = {folderColumn, r};
    if (SafeArrayGetElement(value.parray, idIndex, &id) != S_OK ||
        SafeArrayGetElement(value.parray, folderIndex, &folder) != S_OK || id.vt != VT_I4 ||
        folder.vt != VT_I4)
      std::abort();  // ids are always 32-bit integers
    rows.push_back({static_cast<DWORD>(folder.lVal), static_cast<DWORD>(id.lVal)});
  }
  (void)VariantClear(&value);
  return rows;
}

// Everything below `box` must be a real folder or a regular file inside one of `allowed`.
void CheckContained(const std::string& box, const std::vector<std::string>& allowed) {
  for (const auto& entry : fs::directory_iterator(box)) {
    const std::string name = entry.path().filename().string();
    bool known = name == "sentinel";
    for (const std::string& a : allowed) known = known || name == a;
    if (!known) std::abort();
  }
  for (const std::string& a : allowed) {
    if (!fs::exists(box + "/" + a)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(box + "/" + a)) {
      if (entry.is_symlink() || !(entry.is_directory() || entry.is_regular_file())) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string work = WorkFolder();
  const std::string container = work + "/c.qvef";
  const std::string box = work + "/box";
  // A new file each time: the store's per-process block ranges must meet a new container.
  fs::remove(container);
  fs::remove_all(box);
  {
    const int fd = ::open(container.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) std::abort();
    if (size != 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    ::close(fd);
  }
  fs::create_directories(box + "/dest");
  fs::create_directories(box + "/flat");
  {
    const int fd = ::open((box + "/sentinel").c_str(), O_WRONLY | O_CREAT, 0600);
    ::close(fd);
  }

  {
    QVSQLiteDatabase db;
    if (db.Open(container, FALSE) != VARIANT_TRUE && db.LastFailure() == QVDatabase::Failure::None)
      std::abort();
    if (db.LastFailure() == QVDatabase::Failure::None) {
      const bool held = db.HoldAgainstWriters() == VARIANT_TRUE;
      (void)db.GetVersion();
      VARIANT files{};
      std::vector<Row> fileRows;
      if (db.GetAllFiles(&files) == VARIANT_TRUE) fileRows = Rows(files, 0, 1);
      for (const Row& row : fileRows) {
        VARIANT one{};
        if (db.GetFileInfo(row.folder, row.file, &one) == VARIANT_TRUE) (void)VariantClear(&one);
        (void)db.ExtractFile(row.folder, row.file, box + "/dest");
        (void)db.ExtractFileTo(row.folder, row.file, box + "/flat");
      }
      std::vector<Row> pending = {{0, 0}};
      for (std::size_t i = 0; i < pending.size() && i < kMaxRows; ++i) {
        const DWORD folder = pending[i].file;
        std::string name;
        (void)db.GetFolderName(folder, name);
        VARIANT listing{};
        if (db.GetFiles(folder, &listing) == VARIANT_TRUE) (void)Rows(listing, 0, 1);
        VARIANT subfolders{};
        if (db.GetSubFolders(folder, &subfolders) == VARIANT_TRUE)
          for (const Row& sub : Rows(subfolders, 0, 1)) pending.push_back(sub);
      }
      BYTE* record = nullptr;
      DWORD length = 0;
      char csp[1024];
      if (db.GetFolderOptions(0, &record, &length, csp) == VARIANT_TRUE) {
        if (record == nullptr || std::memchr(csp, '\0', sizeof csp) == nullptr) std::abort();
        std::free(record);
      }
      if (db.ExtractAllTo(box + "/all", nullptr) != VARIANT_TRUE &&
          db.LastFailure() == QVDatabase::Failure::None)
        std::abort();
      // Nothing changed the held file, so it goes.
      if (held && db.DeleteHeldFile() != VARIANT_TRUE) std::abort();
    }
  }
  CheckContained(box, {"dest", "flat", "all"});
  for (const auto& entry : fs::directory_iterator(work)) {
    const std::string name = entry.path().filename().string();
    if (name != "c.qvef" && name != "box") std::abort();
  }
  return 0;
}
