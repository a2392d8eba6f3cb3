// Single files through the progress dialog: the status each cause shows in the item's row, so
// the user reads what happened (a cut encrypted file, a path the system cannot reach) and the
// file is left as it was.
#include <gtest/gtest.h>

#include <string>

#include "base/ItemStatus.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace engine_test {
namespace {

class ProcessFileTest : public ProgressDialogFixture {};

TEST_F(ProcessFileTest, EachCauseShowsTheStatusThatDescribesIt) {
  // Cut where its last chunk (ten bytes and the tag) begins, as a copy that stopped short.
  const std::string qvf = Encrypted("report.txt", Bytes((2 << 20) + 10, 'r'));
  std::string bytes = ReadBytes(qvf);
  bytes.resize(bytes.size() - 10 - 16);
  WriteBytes(qvf, bytes);
  // A name longer than the system allows: nothing can reach it, nothing holds it in use.
  const std::string tooLong = P(std::string(300, 'n') + ".qvf");
  const struct {
    std::string path;
    UINT message;
  } cases[] = {
      {qvf, MessageIdForStatus(StatusFileCrcError)},
      {tooLong, MessageIdForStatus(StatusFileAccessError)},
  };
  for (const auto& c : cases) {
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);  // the OK of a run that failed
    const Outcome run = RunDialog({c.path}, false);
    ASSERT_FALSE(run.rows.empty()) << c.path.substr(0, 60);
    EXPECT_EQ(run.rows.back().at(1), Text(c.message)) << run.Statuses();
  }
  EXPECT_EQ(ReadBytes(qvf), bytes);
  EXPECT_FALSE(Present(P("report.txt")));
}

}  // namespace
}  // namespace engine_test
