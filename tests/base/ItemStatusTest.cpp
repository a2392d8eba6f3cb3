// Status codes: each code's name and the text the user reads in its result row. The texts are
// the system's own; each is checked through the embedded string table and against the English
// string file, so a code mapped to the wrong message shows a wrong text and fails, whatever
// the message id.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "base/ItemStatus.h"
#include "base/StringTable.h"

namespace {

constexpr const char* kUnknown =
    "Error:  Unknown Error.  Please try the operation again or contact support.";

struct StatusCase {
  DWORD code;
  const char* name;  // nullptr for codes outside the table
  const char* text;
};

constexpr StatusCase kStatuses[] = {
    {0, "StatusSuccess", "Success"},
    {1, "StatusMemoryError", "Error:  Memory Allocation Error encountered."},
    {2, "StatusFileAccessError", "Error:  File Access Error."},
    {3, "StatusFileCrcError", "Error:  File CRC Error.  The file may be corrupted."},
    {4, "StatusWrongPassword", "Error:  An incorrrect password has been supplied for this file."},
    {5, "StatusDecryptionError",
     "Error:  File Decryption Error.  File may not have been encrypted by Sentivo."},
    {6, "StatusNotAuthorized", "Error:  You are not authorized to decrypt this file."},
    {7, "StatusEngineInitError", "Error:  Cryptography engine could not be initialized."},
    {8, "StatusIntegrityError",
     "Error:  File Integrity Error.  File may not have been encrypted by Sentivo."},
    {10, "StatusAlreadyEncrypted",
     "Error:  File Already Encrypted.  The file can not be encrypted again."},
    {11, "StatusSourceInUse", "Error: Source file is in use or cannot be opened"},
    {12, "StatusDestinationInUse", "Error: Destination file is in use or cannot be opened"},
    {13, "StatusNoData", "Error: File contains no data"},
    {14, "StatusDestinationExists", "Error: Destination file already exists."},
    {15, "StatusContainerError", kUnknown},
    {17, "StatusIncompatibleFormat", "Error: Incompatible file format."},
    {18, "StatusIncompatibleFormat2", "Error: Incompatible file format."},
    {19, "StatusUserNotAllowed", "Error : The user is not allowed to encrypt/decrypt this file."},
    {500, "StatusSourceNotDeleted",
     "Error: Source file cannot be deleted. Please try the operation again or contact support."},
    {501, "StatusSystemOrTempFile",
     "Error: System or Temporary file. Sentivo does not encrypt system or temporary files."},
    {502, "StatusShortcutFile", "Error: Shortcut file. Sentivo does not encrypt shortcut files. "},
    {503, "StatusProtectedLocation", "Error: Cannot process files from this directory."},
    {504, "StatusNotEncryptedFile", "Error: File is not an Sentivo encrypted file (.QVF)."},
    {505, "StatusDirectoryAlreadyEncrypted",
     "Error: A directory with the same name is already encrypted."},
    {506, "StatusFolderEmpty", "Error : Folder is empty or files in folder contain no data."},
    // Differs from the Windows version on purpose (see docs/differences.md).
    {507, "StatusCancelled", "Cancelled by the user."},
    {9, nullptr, kUnknown},
    {16, nullptr, kUnknown},
    {20, nullptr, kUnknown},
    {499, nullptr, kUnknown},
    {508, nullptr, kUnknown},
    {1000, nullptr, kUnknown},
    {0xFFFFFFFFu, nullptr, kUnknown},
};

// The English string file: id -> text, escapes resolved.
std::map<UINT, std::string> EnglishStringFile() {
  std::map<UINT, std::string> texts;
  std::ifstream in(std::string(QV_SOURCE_DIR) + "/res/strings/1033.txt");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    std::string text;
    for (std::size_t i = tab + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char escaped = line[++i];
        text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
      } else {
        text += line[i];
      }
    }
    texts[static_cast<UINT>(std::stoul(line.substr(0, tab)))] = text;
  }
  return texts;
}

TEST(ItemStatusTest, EveryCodeShowsItsOwnTextAndName) {
  const std::map<UINT, std::string> file = EnglishStringFile();
  ASSERT_GT(file.size(), 50u) << "the English string file was not read";
  for (const StatusCase& c : kStatuses) {
    SCOPED_TRACE(testing::Message() << "code " << c.code);
    const UINT id = MessageIdForStatus(c.code);
    EXPECT_EQ(LoadStringText(id, 1033), c.text) << "message " << id;
    const auto entry = file.find(id);
    ASSERT_NE(entry, file.end()) << "message " << id << " is not in the string file";
    EXPECT_EQ(entry->second, c.text) << "message " << id;
    const char* name = StatusName(c.code);
    if (c.name == nullptr) {
      EXPECT_EQ(name, nullptr) << name;
    } else {
      ASSERT_NE(name, nullptr);
      EXPECT_STREQ(name, c.name);
    }
  }
}

}  // namespace
