// The command line as a table: each argument list and what it asks for, or its usage error.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <tuple>

namespace quenwick {
namespace {

using Args = std::vector<std::string>;
using Pids = std::vector<std::int32_t>;

struct Case {
  Args args;
  std::string error;  // empty: the line is good, and asks for the rest
  Pids pids{};
  bool global = false;
  std::int32_t excludeSelf = 0;
  bool tree = false;
  Quality quality = Quality::linear;
};

const Case kCases[] = {
    {{"--pids", "42"}, "", {42}},
    {{"--pids", "101,,abc,202,"}, "", {101, 202}},
    {{"--pids", ",,7,7,-3,0,+5,007"}, "", {7, 7, -3, 0, 5, 7}},
    // clang-format off
    {{"--pids", "2147483647,-2147483648,2147483648,-2147483649,99999999999999999999"}, "", {2147483647, -2147483648}},
    // clang-format on
    {{"--pids", "1", "--pids", "2"}, "", {2}},
    {{"--global", "--pids", "42"}, "", {42}, true},
    {{"--global", "--global"}, "", {}, true},
    {{"--global", "--exclude-self", "-9", "--exclude-self", "+13"}, "", {}, true, 13, false},
    {{"--exclude-self", "abc", "--global"}, "", {}, true},
    {{"--global", "--exclude-self", "7", "--exclude-self", "1.0"}, "", {}, true},
    {{}, "give --pids or --global"},
    {{"--pids", " 101"}, "give --pids or --global"},
    {{"--pids", "+,-,+-1,0x10,1 2,1_000,١"}, "give --pids or --global"},
    {{"--pids", "--global"}, "give --pids or --global"},
    {{"--exclude-self", "5"}, "give --pids or --global"},
    {{"--pids"}, "--pids needs a value"},
    {{"--global", "--exclude-self"}, "--exclude-self needs a value"},
    {{"-v", "--pids"}, "unknown argument -v"},
    {{"--pids=42"}, "unknown argument --pids=42"},
    {{"--global", "extra"}, "unknown argument extra"},
    {{"--global", ""}, "unknown argument "},
    {{"--global", "--", "--pids", "1"}, "unknown argument --"},
    {{"--exclude-self", "--pids", "--pids"}, "--pids needs a value"},
    {{"--pids", "4", "--tree"}, "", {4}, false, 0, true},
    {{"--tree", "--global", "--tree"}, "", {}, true, 0, true},
    {{"--tree"}, "give --pids or --global"},
    {{"--pids", "4", "--quality", "high"}, "", {4}, false, 0, false, Quality::high},
    {{"--quality", "high", "--global", "--quality", "linear"}, "", {}, true},
    {{"--global", "--quality"}, "--quality needs a value"},
    {{"--global", "--quality", "High"}, "unknown quality High"},
    {{"--quality", "--global"}, "unknown quality --global"},
    {{"--quality", "high"}, "give --pids or --global"},
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
    EXPECT_EQ(
        std::tie(request.pids, request.global, request.excludeSelf, request.tree, request.quality),
        std::tie(c.pids, c.global, c.excludeSelf, c.tree, c.quality))
        << line;
  }
}

}  // namespace
}  // namespace quenwick
