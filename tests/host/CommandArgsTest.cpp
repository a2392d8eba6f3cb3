// The one reading of the transfer commands' arguments: key options (the last one counts),
// "--" ending the options, help, and the mistakes that end a command with its usage code.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/CommandArgs.h"
#include "host/ExitCodes.h"

namespace {

TEST(CommandArgsTest, KeyOptionsPathsHelpAndMistakes) {
  static constexpr KeyOption kKeys[] = {{"--shift", MK_LBUTTON | MK_SHIFT},
                                        {"--right", MK_RBUTTON}};
  const struct {
    std::vector<std::string> args;
    std::optional<int> code;  // nothing: read
    DWORD keys;
    std::vector<std::string> sources;
    std::string dest;
  } cases[] = {
      {{"a", "b"}, std::nullopt, MK_LBUTTON, {"a"}, "b"},
      {{"--shift", "a", "-", "--right", "d"}, std::nullopt, MK_RBUTTON, {"a", "-"}, "d"},
      {{"--shift", "--", "--right", "-h", "d"},
       std::nullopt,
       MK_LBUTTON | MK_SHIFT,
       {"--right", "-h"},
       "d"},
      {{"a", "--ctrl", "d"}, kExitUsage, 0, {}, ""},
      {{"--shift", "a"}, kExitUsage, 0, {}, ""},
      {{"a", "-h", "--bogus"}, kExitOk, 0, {}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = {"qvx", "drop"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    TransferArguments read;
    const std::optional<int> code = ReadTransferArguments(
        static_cast<int>(argv.size()), argv.data(), "usage: qvx drop\n", kKeys, MK_LBUTTON, &read);
    const std::string trace = testing::PrintToString(c.args);
    EXPECT_EQ(code, c.code) << trace;
    if (code) continue;
    EXPECT_EQ(read.keys, c.keys) << trace;
    EXPECT_EQ(read.sources, c.sources) << trace;
    EXPECT_EQ(read.dest, c.dest) << trace;
  }
}

}  // namespace
