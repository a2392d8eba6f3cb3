// Status codes: every code's message id and the text the user sees for it.
#include <gtest/gtest.h>

#include <string>

#include "core/ItemStatus.h"
#include "core/StringTable.h"

namespace {

struct StatusCase {
  DWORD code;
  UINT messageId;
  const char* name;  // nullptr for codes outside the table
};

class StatusMessageTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusMessageTest, MapsCodeToMessageAndName) {
  const StatusCase& c = GetParam();
  EXPECT_EQ(MessageIdForStatus(c.code), c.messageId) << "code " << c.code;
  const char* name = StatusName(c.code);
  if (c.name == nullptr) {
    EXPECT_EQ(name, nullptr) << "code " << c.code << " named " << name;
  } else {
    ASSERT_NE(name, nullptr) << "code " << c.code;
    EXPECT_STREQ(name, c.name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, StatusMessageTest,
    ::testing::Values(
        StatusCase{0, 107, "StatusSuccess"}, StatusCase{1, 108, "StatusMemoryError"},
        StatusCase{2, 109, "StatusFileAccessError"}, StatusCase{3, 110, "StatusFileCrcError"},
        StatusCase{4, 111, "StatusWrongPassword"}, StatusCase{5, 112, "StatusDecryptionError"},
        StatusCase{6, 113, "StatusNotAuthorized"}, StatusCase{7, 114, "StatusEngineInitError"},
        StatusCase{8, 115, "StatusIntegrityError"}, StatusCase{9, 116, nullptr},
        StatusCase{10, 117, "StatusAlreadyEncrypted"}, StatusCase{11, 123, "StatusSourceInUse"},
        StatusCase{12, 124, "StatusDestinationInUse"}, StatusCase{13, 125, "StatusNoData"},
        StatusCase{14, 127, "StatusDestinationExists"}, StatusCase{15, 116, "StatusContainerError"},
        StatusCase{16, 116, nullptr}, StatusCase{17, 148, "StatusIncompatibleFormat"},
        StatusCase{18, 148, "StatusIncompatibleFormat2"},
        StatusCase{19, 147, "StatusUserNotAllowed"}, StatusCase{20, 116, nullptr},
        StatusCase{499, 116, nullptr}, StatusCase{500, 128, "StatusSourceNotDeleted"},
        StatusCase{501, 129, "StatusSystemOrTempFile"}, StatusCase{502, 130, "StatusShortcutFile"},
        StatusCase{503, 131, "StatusProtectedLocation"},
        StatusCase{504, 132, "StatusNotEncryptedFile"},
        StatusCase{505, 133, "StatusDirectoryAlreadyEncrypted"},
        StatusCase{506, 136, "StatusFolderEmpty"}, StatusCase{507, 191, "StatusCancelled"},
        StatusCase{508, 116, nullptr}, StatusCase{0xFFFFFFFFu, 116, nullptr}),
    [](const ::testing::TestParamInfo<StatusCase>& info) {
      return "Code" + std::to_string(info.param.code);
    });

std::string MessageFor(DWORD code) { return LoadStringText(MessageIdForStatus(code), 1033); }

TEST(StatusTextTest, UnknownCodesShareTheUnknownErrorText) {
  const std::string unknown =
      "Error:  Unknown Error.  Please try the operation again or contact support.";
  for (DWORD code : {9u, 15u, 16u, 508u, 1000u})
    EXPECT_EQ(MessageFor(code), unknown) << "code " << code;
  // An item the user cancelled says so.
  EXPECT_EQ(MessageFor(StatusCancelled), "Cancelled by the user.");
}

TEST(StatusTextTest, UserVisibleTexts) {
  EXPECT_EQ(MessageFor(StatusSuccess), "Success");
  EXPECT_EQ(MessageFor(StatusIncompatibleFormat), MessageFor(StatusIncompatibleFormat2));
  EXPECT_EQ(MessageFor(StatusIncompatibleFormat), "Error: Incompatible file format.");
  EXPECT_EQ(MessageFor(StatusSourceNotDeleted),
            "Error: Source file cannot be deleted. Please try the operation again or contact "
            "support.");
  EXPECT_EQ(MessageFor(StatusShortcutFile),
            "Error: Shortcut file. Sentivo does not encrypt shortcut files. ");
}

}  // namespace
