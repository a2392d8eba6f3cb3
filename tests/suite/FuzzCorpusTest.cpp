// Writes the fuzzers' seeds of the current formats, made by the real library for the fuzzers'
// fixed key (key pair from 32 bytes of 0x42, name "fuzz"): folder headers of version 2 with
// and without the list of a container's files (also after a user was removed, so with an
// older key and a list carried to the new key), and .qvf files of version 3 (one of its own,
// one of a folder bound to its place). Run as
//   QV_WRITE_HEADER_CORPUS=tests/fuzz/corpus suite_tests --gtest_also_run_disabled_tests
//     --gtest_filter='*WriteHeaderCorpus*'
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <filesystem>

#include "tests/common/TestRoot.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace qvtest;
namespace fs = std::filesystem;

void WriteSeed(const fs::path& path, const BYTE* bytes, std::size_t size) {
  WriteTextFile(path.string(), std::string(reinterpret_cast<const char*>(bytes), size));
}

TEST(HeaderCorpus, DISABLED_WriteHeaderCorpus) {
  const char* folder = std::getenv("QV_WRITE_HEADER_CORPUS");
  ASSERT_NE(folder, nullptr);
  ASSERT_GE(sodium_init(), 0);
  const fs::path corpus = folder;
  TestRoot root;
  User fuzz{"fuzz", std::vector<BYTE>(kKeyBlobSize)};
  std::uint8_t blob[kKeyBlobSize], other[kKeyBlobSize];
  fuzz::SeededKeyBlob(blob, fuzz::kFixedSeed, true);
  fuzz::SeededKeyBlob(other, 0x43, false);
  fuzz.blob.assign(blob, blob + kKeyBlobSize);

  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(fuzz, &header, &handle), 0u);
  WriteSeed(corpus / "FolderHeader/v2-one-user.qvh", header.data(), header.size());

  std::vector<BYTE> record(header.size() + kFolderHeaderCapacity, 0);
  std::copy(header.begin(), header.end(), record.begin());
  DWORD length = static_cast<DWORD>(header.size());
  QvFileListState list{};
  list.listVersion = 3;
  list.count = 1;
  list.firstBound = 1;
  ASSERT_EQ(QVFSFolderFileListEntry(handle, 0, 1, "\\a.txt.qvf", list.aggregate), 0u);
  ASSERT_EQ(QVFSFolderWriteFileList(handle, record.data(), &length,
                                    static_cast<DWORD>(record.size()), &list),
            0u);
  WriteSeed(corpus / "FolderHeader/v2-with-list.qvh", record.data(), length);
  ASSERT_EQ(
      QVFSFolderAddUser(record.data(), &length, static_cast<DWORD>(record.size()), "fuzz", "fuzz",
                        blob, kKeyBlobSize, "", "other", other, kKeyBlobSize, nullptr, 0, 0),
      0u);
  ASSERT_EQ(QVFSFolderRemoveUserAsOwner(record.data(), &length, "fuzz", "fuzz", blob, kKeyBlobSize,
                                        "other", "other", other, kKeyBlobSize),
            0u);
  WriteSeed(corpus / "FolderHeader/v2-user-removed-with-list.qvh", record.data(), length);

  WriteTextFile(root.Sub("text.txt"), "a line of text\n");
  {
    Request request(fuzz, root.Sub("text.txt"), root.Sub("text.txt.qvf"));
    ASSERT_EQ(QVFSEncryptFile(request.get()), 0u);
  }
  fs::copy_file(root.Sub("text.txt.qvf"), corpus / "QvfHeader/v3-text.qvf",
                fs::copy_options::overwrite_existing);
  {
    Request request(fuzz, root.Sub("text.txt"), root.Sub("bound.qvf"));
    ASSERT_EQ(QVFSFolderEncryptFileAt(request.Folder(handle).get(), "\\a.txt.qvf", 1), 0u);
  }
  fs::copy_file(root.Sub("bound.qvf"), corpus / "QvfHeader/v3-folder-file-bound.qvf",
                fs::copy_options::overwrite_existing);
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

}  // namespace
