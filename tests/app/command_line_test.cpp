// The command line as a table: each argument list and what it asks for, or its usage error.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace quenwick {
namespace {

using Args = std::vector<std::string>;
using Pids = std::vector<std::int32_t>;

struct Case {
  Args args;
  std::string error;  // empty: the line is good, and asks for the rest
  Pids pids;
  bool global;
  std::int32_t excludeSelf;
  bool tree;
  Quality quality = Quality::linear;
};

const Case kCases[] = {
    {{"--pids", "42"}, "", {42}, false, 0, false},
    {{"--pids", "101,,abc,202,"}, "", {101, 202}, false, 0, false},
    {{"--pids", ",,7,7,-3,0,+5,007"}, "", {7, 7, -3, 0, 5, 7}, false, 0, false},
    {{"--pids", "2147483647,-2147483648,2147483648,-2147483649,99999999999999999999"},
     "",
     {2147483647, -2147483648},
     false,
     0,
     false},
    {{"--pids", "1", "--pids", "2"}, "", {2}, false, 0, false},
    {{"--global", "--pids", "42"}, "", {42}, true, 0, false},
    {{"--global", "--global"}, "", {}, true, 0, false},
    {{"--global", "--exclude-self", "-9", "--exclude-self", "+13"}, "", {}, true, 13, false},
    {{"--exclude-self", "abc", "--global"}, "", {}, true, 0, false},
    {{"--global", "--exclude-self", "7", "--exclude-self", "1.0"}, "", {}, true, 0, false},
    {{}, "give --pids or --global", {}, false, 0, false},
    {{"--pids", " 101"}, "give --pids or --global", {}, false, 0, false},
    {{"--pids", "+,-,+-1,0x10,1 2,1_000,١"}, "give --pids or --global", {}, false, 0, false},
    {{"--pids", "--global"}, "give --pids or --global", {}, false, 0, false},
    {{"--exclude-self", "5"}, "give --pids or --global", {}, false, 0, false},
    {{"--pids"}, "--pids needs a value", {}, false, 0, false},
    {{"--global", "--exclude-self"}, "--exclude-self needs a value", {}, false, 0, false},
    {{"-v", "--pids"}, "unknown argument -v", {}, false, 0, false},
    {{"--pids=42"}, "unknown argument --pids=42", {}, false, 0, false},
    {{"--global", "extra"}, "unknown argument extra", {}, false, 0, false},
    {{"--global", ""}, "unknown argument ", {}, false, 0, false},
    {{"--global", "--", "--pids", "1"}, "unknown argument --", {}, false, 0, false},
    {{"--exclude-self", "--pids", "--pids"}, "--pids needs a value", {}, false, 0, false},
    {{"--pids", "4", "--tree"}, "", {4}, false, 0, true},
    {{"--tree", "--global", "--tree"}, "", {}, true, 0, true},
    {{"--tree"}, "give --pids or --global", {}, false, 0, true},
    {{"--pids", "4", "--quality", "high"}, "", {4}, false, 0, false, Quality::high},
    {{"--quality", "high", "--global", "--quality", "linear"}, "", {}, true, 0, false},
    {{"--global", "--quality"}, "--quality needs a value", {}, false, 0, false},
    {{"--global", "--quality", "High"}, "unknown quality High", {}, false, 0, false},
    {{"--quality", "--global"}, "unknown quality --global", {}, false, 0, false},
    {{"--quality", "high"}, "give --pids or --global", {}, false, 0, false},
};

TEST(CommandLine, Table) {
  for (const Case& c : kCases) {
    std::string line;
    for (const auto& arg : c.args) line += "[" + arg + "]";
    const auto parsed = parseCommandLine(c.args);
    if (!c.error.empty()) {
      ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << line;
      EXPECT_EQ(std::get<UsageError>(parsed).message, c.error) << line;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<CaptureRequest>(parsed)) << line;
    const auto& request = std::get<CaptureRequest>(parsed);
    EXPECT_EQ(request.pids, c.pids) << line;
    EXPECT_EQ(request.global, c.global) << line;
    EXPECT_EQ(request.excludeSelf, c.excludeSelf) << line;
    EXPECT_EQ(request.tree, c.tree) << line;
    EXPECT_EQ(request.quality, c.quality) << line;
  }
}

}  // namespace
}  // namespace quenwick
