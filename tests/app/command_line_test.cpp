#include "app/command_line.h"

#include <gtest/gtest.h>

#include <limits>

namespace quenwick {
namespace {

TEST(ParseDecimalInt32, AcceptsExactlySignedDecimalsInRange) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"42", 42},
      {"+7", 7},
      {"-5", -5},
      {"007", 7},
      {"2147483647", std::numeric_limits<std::int32_t>::max()},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1 2", std::nullopt},
      {"0x10", std::nullopt},
      {"1.0", std::nullopt},
      {"1_000", std::nullopt},
      {"١", std::nullopt},  // a digit, but not an ASCII one
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseDecimalInt32(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(ParsePidList, DropsEmptyAndUnparsablePiecesKeepingOrderAndDuplicates) {
  using Pids = std::vector<std::int32_t>;
  EXPECT_EQ(parsePidList("101,,abc,202,"), (Pids{101, 202}));
  EXPECT_EQ(parsePidList(",,7,7,-3,0"), (Pids{7, 7, -3, 0}));
  EXPECT_EQ(parsePidList("abc"), Pids{});
  EXPECT_EQ(parsePidList(" 101"), Pids{});
  EXPECT_EQ(parsePidList("2147483648,5"), (Pids{5}));
  EXPECT_EQ(parsePidList(""), Pids{});
}

struct LineCase {
  std::vector<std::string> args;
  std::string error;  // empty: the line is good
};

class CommandLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(CommandLineTest, GivesTheFirstErrorFromTheLeft) {
  const auto parsed = parseCommandLine(GetParam().args);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(std::holds_alternative<CaptureRequest>(parsed));
  } else {
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed));
    EXPECT_EQ(std::get<UsageError>(parsed).message, GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    UsageErrors, CommandLineTest,
    testing::Values(LineCase{{}, "give --pids or --global"},
                    LineCase{{"--pids"}, "--pids needs a value"},
                    LineCase{{"--global", "--exclude-self"}, "--exclude-self needs a value"},
                    LineCase{{"--pids", "--global"}, "give --pids or --global"},
                    LineCase{{"--pids", " 101"}, "give --pids or --global"},
                    LineCase{{"--pids=42"}, "unknown argument --pids=42"},
                    LineCase{{""}, "unknown argument "},
                    LineCase{{"-v", "--pids"}, "unknown argument -v"},
                    LineCase{{"--global", "extra"}, "unknown argument extra"},
                    LineCase{{"--pids", "1", "--pids"}, "--pids needs a value"},
                    LineCase{{"--GLOBAL"}, "unknown argument --GLOBAL"},
                    LineCase{{"--", "--global"}, "unknown argument --"}, LineCase{{"--global"}, ""},
                    LineCase{{"--pids", "--pids", "--global"}, ""}));

TEST(CommandLine, LaterValuesWinAndGlobalTakesPrecedence) {
  const auto parsed = parseCommandLine(
      {"--pids", "1", "--exclude-self", "9", "--pids", "2,2", "--exclude-self", "abc", "--global"});
  ASSERT_TRUE(std::holds_alternative<CaptureRequest>(parsed));
  const auto& request = std::get<CaptureRequest>(parsed);
  EXPECT_EQ(request.pids, (std::vector<std::int32_t>{2, 2}));
  EXPECT_EQ(request.excludeSelf, 0);
  EXPECT_TRUE(request.global);
}

TEST(CommandLine, OptionValuesAreTakenWhateverTheyHold) {
  const auto parsed = parseCommandLine({"--exclude-self", "--global", "--pids", "5"});
  ASSERT_TRUE(std::holds_alternative<CaptureRequest>(parsed));
  const auto& request = std::get<CaptureRequest>(parsed);
  EXPECT_FALSE(request.global);  // "--global" was --exclude-self's value
  EXPECT_EQ(request.excludeSelf, 0);
  EXPECT_EQ(request.pids, (std::vector<std::int32_t>{5}));
}

}  // namespace
}  // namespace quenwick
