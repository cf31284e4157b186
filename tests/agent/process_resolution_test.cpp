// Which process ids the agent asks the audio layer about, and which process objects end up in
// the tap description, in both modes.
#include <unistd.h>

#include <csignal>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

// Stands for this test process's pid, the parent of the agent, in the table below.
constexpr std::int64_t kParent = -1000000;
const std::string kParentArg = "$PARENT";

struct ResolutionCase {
  const char* name;
  std::string script;
  std::vector<std::string> args;
  std::vector<std::int64_t> asked;      // the pids of the 'id2p' reads, in order
  std::string kind;                     // of the tap description
  std::vector<std::int64_t> processes;  // of the tap description
  std::string mode;                     // of the "format" event
  std::vector<std::int64_t> pids;       // of the "format" event
};

void PrintTo(const ResolutionCase& c, std::ostream* out) {
  *out << c.name;
}

class Resolution : public ::testing::TestWithParam<ResolutionCase> {};

TEST_P(Resolution, AsksForTheRightPidsAndTapsTheObjectsThatResolve) {
  const ResolutionCase& c = GetParam();
  const std::int64_t parent = getpid();
  std::vector<std::string> args = c.args;
  for (auto& arg : args) {
    if (arg == kParentArg) arg = std::to_string(parent);
  }
  std::vector<std::int64_t> asked = c.asked;
  for (auto& pid : asked) {
    if (pid == kParent) pid = parent;
  }

  FakeAgent agent(c.script, args);
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness)) << agent.process().err();
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));

  // No message names a pid that did not resolve: the start is the ordinary one.
  const auto events = eventsOf(agent.process().err());
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"creating_tap", "format", "running"}));
  EXPECT_EQ(events[1].string("mode"), c.mode);
  EXPECT_EQ(events[1].integers("pids"), c.pids);

  const auto calls = agent.calls();
  std::vector<std::int64_t> actuallyAsked;
  for (const auto& read : callsNamed(calls, "getPropertyData")) {
    if (stringAt(read, "selector") == "id2p") actuallyAsked.push_back(integerAt(read, "qualifier"));
  }
  EXPECT_EQ(actuallyAsked, asked);

  const auto taps = callsNamed(calls, "createProcessTap");
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(stringAt(taps[0], "kind"), c.kind);
  EXPECT_EQ(integersAt(taps[0], "processes"), c.processes);
}

const std::string kMixdown = "stereoMixdownOfProcesses";
const std::string kGlobal = "stereoGlobalTapButExcludeProcesses";

INSTANTIATE_TEST_SUITE_P(
    Pids, Resolution,
    ::testing::Values(ResolutionCase{"OnlyTheMiddleOneResolves",
                                     "pid 2 22\npid 3 33 'who?'\n",
                                     {"--pids", "1,2,3"},
                                     {1, 2, 3},
                                     kMixdown,
                                     {22},
                                     "processes",
                                     {1, 2, 3}},
                      ResolutionCase{"TheSamePidTwice",
                                     "pid 2 22\n",
                                     {"--pids", "2,2"},
                                     {2, 2},
                                     kMixdown,
                                     {22, 22},
                                     "processes",
                                     {2, 2}},
                      ResolutionCase{"InTheOrderGiven",
                                     "pid 5 55\npid 4 44\npid -7 77\n",
                                     {"--pids", "5,0,4,-7"},
                                     {5, 0, 4, -7},
                                     kMixdown,
                                     {55, 44, 77},
                                     "processes",
                                     {5, 0, 4, -7}},
                      ResolutionCase{"ExcludeSelfIsIgnoredInProcessesMode",
                                     "pid 2 22\npid 9 99\n",
                                     {"--exclude-self", "9", "--pids", "2"},
                                     {2},
                                     kMixdown,
                                     {22},
                                     "processes",
                                     {2}},
                      ResolutionCase{"GlobalExcludesSelfThenParent",
                                     "pid 9 99\npid parent 11\n",
                                     {"--global", "--exclude-self", "9"},
                                     {9, kParent},
                                     kGlobal,
                                     {99, 11},
                                     "global",
                                     {}},
                      ResolutionCase{"GlobalWithSelfBeingTheParent",
                                     "pid parent 11\n",
                                     {"--exclude-self", kParentArg, "--global"},
                                     {kParent, kParent},
                                     kGlobal,
                                     {11, 11},
                                     "global",
                                     {}},
                      ResolutionCase{"GlobalDropsAnExcludeSelfThatDoesNotResolve",
                                     "pid parent 11\n",
                                     {"--global", "--exclude-self", "9"},
                                     {9, kParent},
                                     kGlobal,
                                     {11},
                                     "global",
                                     {}},
                      ResolutionCase{"GlobalWithNothingToExclude",
                                     "pid 9 99 -1\n",
                                     {"--global", "--exclude-self", "9"},
                                     {9, kParent},
                                     kGlobal,
                                     {},
                                     "global",
                                     {}},
                      ResolutionCase{"GlobalWithoutExcludeSelfAsksOnlyForTheParent",
                                     "pid parent 11\n",
                                     {"--global", "--exclude-self", "abc"},
                                     {kParent},
                                     kGlobal,
                                     {11},
                                     "global",
                                     {}},
                      ResolutionCase{"PidsWithGlobalAreNeverResolved",
                                     "pid 5 55\npid 6 66\n",
                                     {"--pids", "5,6", "--global"},
                                     {kParent},
                                     kGlobal,
                                     {},
                                     "global",
                                     {5, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick::agent_test
