// Bad command lines, through the real `quenwick`: its audio layer is never reached.
#include <algorithm>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  std::string message;
};

void PrintTo(const UsageCase& c, std::ostream* out) {
  *out << c.name;
}

class UsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, WritesOneErrorLineAndExitsWithOne) {
  const UsageCase& c = GetParam();
  auto agent = startRealAgent(c.args);
  ASSERT_TRUE(agent);
  const auto status = agent->wait(kLiveness);
  ASSERT_TRUE(status) << "still running";
  EXPECT_EQ(*status, ExitStatus::exitedWith(1));
  EXPECT_EQ(agent->out(), "");

  EXPECT_EQ(std::count(agent->err().begin(), agent->err().end(), '\n'), 1) << agent->err();
  const auto events = eventsOf(agent->err());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].keys(), (std::vector<std::string>{"event", "message"}));
  EXPECT_EQ(events[0].event(), "error");
  EXPECT_EQ(events[0].string("message"), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageError,
    ::testing::Values(
        UsageCase{"NoArguments", {}, "give --pids or --global"},
        UsageCase{"PidsLast", {"--pids"}, "--pids needs a value"},
        UsageCase{"PidsLastAfterAGoodRequest", {"--pids", "1", "--pids"}, "--pids needs a value"},
        UsageCase{
            "ExcludeSelfLast", {"--global", "--exclude-self"}, "--exclude-self needs a value"},
        UsageCase{"PidsTakesGlobalAsItsValue", {"--pids", "--global"}, "give --pids or --global"},
        UsageCase{"PidsWithNothingThatParses",
                  {"--pids", "abc, 101,2147483648"},
                  "give --pids or --global"},
        UsageCase{"JoinedWithEquals", {"--pids=42"}, "unknown argument --pids=42"},
        UsageCase{"EmptyArgument", {""}, "unknown argument "},
        UsageCase{"FirstErrorWins", {"-v", "--pids"}, "unknown argument -v"},
        UsageCase{"ExtraAfterGlobal", {"--global", "extra"}, "unknown argument extra"},
        UsageCase{"QuotesBackslashAndControls",
                  {"say \"hi\"\\\t\n\r\x01\x1f\x7f end"},
                  "unknown argument say \"hi\"\\\t\n\r\x01\x1f\x7f end"},
        UsageCase{"InvalidUtf8BecomesReplacementCharacters",
                  {"caf\xff-\xe2\x82-\xc3"},
                  "unknown argument caf\xEF\xBF\xBD-\xEF\xBF\xBD-\xEF\xBF\xBD"},
        UsageCase{"ValidUtf8StaysAsItIs",
                  {"caf\xc3\xa9 \xf0\x9f\x8e\xa7"},
                  "unknown argument caf\xc3\xa9 \xf0\x9f\x8e\xa7"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick::agent_test
