// The ways out of a running agent: SIGTERM tears the audio objects down, SIGPIPE and a vanished
// parent leave without touching them.
#include <csignal>
#include <thread>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

// Streams for as long as the agent runs, at about real time for a 48000 Hz tap.
const std::string kStreamForever = "pid 42 7\npace 10000\ndeliver forever 480\n";

// The calls after the eight of a good start.
std::vector<std::string> teardownPart(const std::vector<std::string>& names) {
  const std::vector<std::string> tail(names.begin() + std::min<std::size_t>(names.size(), 8),
                                      names.end());
  return tail;
}

TEST(Sigterm, StopsTheDeviceAndDestroysProcDeviceAndTapInOrder) {
  FakeAgent agent(kStreamForever, {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  ASSERT_TRUE(agent.process().waitForStdoutBytes(3200, kLiveness)) << "no PCM is flowing";
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));
  EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
            (std::vector<std::string>{"creating_tap", "format", "running"}));

  const auto calls = agent.calls();
  const auto names = callNames(calls);
  ASSERT_EQ(names.size(), 12u);
  EXPECT_EQ(teardownPart(names),
            (std::vector<std::string>{"stop", "destroyIOProcID", "destroyAggregateDevice",
                                      "destroyProcessTap"}));
  EXPECT_EQ(integerAt(calls[8], "device"), 200);
  EXPECT_EQ(integerAt(calls[8], "proc"), 300);
  EXPECT_EQ(integerAt(calls[9], "device"), 200);
  EXPECT_EQ(integerAt(calls[9], "proc"), 300);
  EXPECT_EQ(integerAt(calls[10], "device"), 200);
  EXPECT_EQ(integerAt(calls[11], "tap"), 100);
}

TEST(Sigterm, WithoutAnIOProcStopsWithNoneAndSkipsItsDestruction) {
  FakeAgent agent("pid 42 7\ntap 0 17\ndevice 0 18\nioproc 0 null\n", {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));
  EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
            (std::vector<std::string>{"creating_tap", "format", "running"}));

  const auto calls = agent.calls();
  const auto names = callNames(calls);
  ASSERT_EQ(names.size(), 11u);
  EXPECT_EQ(names[7], "start");
  ASSERT_NE(calls[7].find("proc"), nullptr);
  EXPECT_TRUE(calls[7].find("proc")->isNull());
  EXPECT_EQ(teardownPart(names),
            (std::vector<std::string>{"stop", "destroyAggregateDevice", "destroyProcessTap"}));
  EXPECT_EQ(integerAt(calls[8], "device"), 18);
  ASSERT_NE(calls[8].find("proc"), nullptr);
  EXPECT_TRUE(calls[8].find("proc")->isNull());
  EXPECT_EQ(integerAt(calls[9], "device"), 18);
  EXPECT_EQ(integerAt(calls[10], "tap"), 17);
}

TEST(Sigterm, EndsWithStatusZeroEvenWhenTheDeviceCannotStop) {
  // The host stops reading: the IO thread blocks in its write, so stopping the device, which
  // waits for the IO thread, cannot finish. The agent still ends, after its grace period.
  FakeAgent agent("pid 42 7\ndeliver forever 4800\n", {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  agent.process().readStdout(false);
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  std::this_thread::sleep_for(200ms);  // time enough to fill the pipe many times over
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));
  EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
            (std::vector<std::string>{"creating_tap", "format", "running"}));
  const auto names = callNames(agent.calls());
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "stop") << "the teardown went past a stop that cannot have finished";
}

TEST(Sigpipe, ExitsSilentlyWithZeroWhenTheHostClosesStandardOutput) {
  FakeAgent agent(kStreamForever, {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  ASSERT_TRUE(agent.process().waitForStdoutBytes(3200, kLiveness)) << "no PCM is flowing";
  agent.process().closeStdout();
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));

  EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
            (std::vector<std::string>{"creating_tap", "format", "running"}));
  EXPECT_FALSE(hasTeardownCall(agent.calls()));
}

TEST(ParentWatch, ReportsParentExitedWithinASecondAndAHalf) {
  FakeAgent agent(kStreamForever, {"--pids", "42"}, {.underParent = true});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  // Let at least one tick find the parent alive first.
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(agent.process().err().find("error"), std::string::npos);

  ASSERT_TRUE(agent.process().killIntermediateParent());
  const auto status = agent.process().wait(1500ms);
  ASSERT_TRUE(status) << "still running 1.5 s after its parent died";
  EXPECT_EQ(*status, ExitStatus::exitedWith(0));

  const auto events = eventsOf(agent.process().err());
  ASSERT_EQ(namesOf(events),
            (std::vector<std::string>{"creating_tap", "format", "running", "error"}));
  EXPECT_EQ(events[3].keys(), (std::vector<std::string>{"event", "message"}));
  EXPECT_EQ(events[3].string("message"), "parent exited");
  EXPECT_FALSE(hasTeardownCall(agent.calls()));
}

TEST(Signals, OthersKeepTheirDefaultActionAndTearNothingDown) {
  FakeAgent agent(kStreamForever, {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  agent.process().sendSignal(SIGINT);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::killedBy(SIGINT));
  EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
            (std::vector<std::string>{"creating_tap", "format", "running"}));
  EXPECT_FALSE(hasTeardownCall(agent.calls()));
}

}  // namespace
}  // namespace quenwick::agent_test
