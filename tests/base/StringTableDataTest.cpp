// Checks the English string table as the product embeds it: a sample of texts across the id
// ranges against the exact wording (odd spacing, typos and line breaks included, since users
// and support scripts match on them), that every English text fits the 1024-byte buffers the
// callers load into, and that no language repeats an id.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "base/StringTable.h"

namespace {

constexpr LANGID kEnglish = 1033;
constexpr int kMessageBufferSize = 1024;

struct ExpectedText {
  UINT id;
  const char* text;
};

// Texts as the product shows them; the spacing is part of the wording.
const ExpectedText kSamples[] = {
    {101, "Sentivo Encrypt File(s)"},
    {104, "Sentivo - Decrypts the selected item(s)"},
    {105, "Filename"},
    {107, "Success"},
    {108, "Error:  Memory Allocation Error encountered."},
    {111, "Error:  An incorrrect password has been supplied for this file."},
    {116, "Error:  Unknown Error.  Please try the operation again or contact support."},
    {127, "Error: Destination file already exists."},
    {130, "Error: Shortcut file. Sentivo does not encrypt shortcut files. "},
    {132, "Error: File is not an Sentivo encrypted file (.QVF)."},
    {136, "Error : Folder is empty or files in folder contain no data."},
    {141, "KB"},
    {144,
     "You must authenticate the user to encrypt, decrypt, or to modify the sharing list for the "
     "file or folder selected."},
    {147, "Error : The user is not allowed to encrypt/decrypt this file."},
    {151, "%d Files Remaining"},
    {159,
     "A file or folder name cannot contain any of the following characters: / : * ? \" < > |.  "
     "This file or folder will not be renamed."},
    {164, "OK"},
    {165,
     "Sentivo could not validate your user credentials.  Please make sure that you correctly "
     "validate using the appropriate authentication devices.  "},
    {170,
     "The encrypted '%s' file is already existing in the destination folder. This file will not "
     "decrypt."},
    {174, "%s"},
    {176, "%s - Encrypt/Decrypt Files"},
    {177, "(Local Machine)"},
    {181,
     "WARNING: Once the folder is converted, you will not be able to open or decrypt this folder "
     "on previous versions of Sentivo.   You can click on CANCEL now if you do not want the "
     "conversion to take place."},
    {185, "Convert Now..."},
    {188,
     "Please try with an old encryption key that you may have generated \n with your previously "
     "installed Sentivo. \nEncryption key used to encrypt this file was exported \nto a file "
     "named %s."},
    {190, "Authentication device is not ready or another operation is in progress."},
};

TEST(StringTableData, EnglishSampleMatchesExactWording) {
  for (const ExpectedText& sample : kSamples) {
    char buffer[kMessageBufferSize];
    const int copied = LoadStringA(sample.id, buffer, sizeof buffer, kEnglish);
    EXPECT_EQ(std::string(buffer), sample.text) << "string " << sample.id;
    EXPECT_EQ(copied, static_cast<int>(std::strlen(sample.text))) << "string " << sample.id;
  }
}

TEST(StringTableData, EveryEnglishTextFitsMessageBuffer) {
  size_t english = 0;
  for (size_t i = 0; i < kStringResourceCount; ++i) {
    const StringResource& entry = kStringResources[i];
    if (entry.language != kEnglish) continue;
    ++english;
    ASSERT_NE(entry.text, nullptr) << "string " << entry.id;
    const size_t length = std::strlen(entry.text);
    EXPECT_LT(length, static_cast<size_t>(kMessageBufferSize))
        << "string " << entry.id << " is " << length << " bytes";
    char buffer[kMessageBufferSize];
    const int copied = LoadStringA(entry.id, buffer, sizeof buffer, kEnglish);
    EXPECT_EQ(copied, static_cast<int>(length)) << "string " << entry.id << " was cut";
    EXPECT_STREQ(buffer, entry.text) << "string " << entry.id;
  }
  EXPECT_GE(english, std::size(kSamples));
}

TEST(StringTableData, NoLanguageRepeatsAnId) {
  std::map<LANGID, std::set<UINT>> seen;
  for (size_t i = 0; i < kStringResourceCount; ++i) {
    const StringResource& entry = kStringResources[i];
    EXPECT_TRUE(seen[entry.language].insert(entry.id).second)
        << "language " << entry.language << " repeats string " << entry.id;
  }
  EXPECT_EQ(seen.count(kEnglish), 1u);
}

}  // namespace
