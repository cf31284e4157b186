// The PipeWire server, or the session manager, dies under a capturing agent: the agent must not
// crash, hang or speak; its parent watch and SIGTERM must still end it with status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include "playing_stack.h"
#include "quiet_wait.h"
#include "stack_processes.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;

// SIGTERM: two seconds at most, and one more for a loaded machine. Parent watch: one second and
// a half, and one more.
constexpr auto kSigtermWithin = 3s;
constexpr auto kParentExitedWithin = 2500ms;

class PipeWireServerFaults : public PlayingStack {
 protected:
  void killServer() {
    const auto pid = serverPid(stack());
    ASSERT_TRUE(pid) << "no PipeWire server to kill";
    ASSERT_EQ(kill(*pid, SIGKILL), 0);
  }

  void killSessionManager() {
    const auto pid = sessionManagerPid(stack());
    ASSERT_TRUE(pid) << "no WirePlumber to kill";
    ASSERT_EQ(kill(*pid, SIGKILL), 0);
  }

  // The agent lives through the fault: after a while (read as a host reads) it still runs and
  // has said nothing after "running".
  static void expectQuietSurvival(harness::AgentProcess& agent) {
    agent.waitUntil([] { return false; }, 1500ms);
    EXPECT_TRUE(stillRunning(agent)) << "the agent ended: " << agent.err();
    EXPECT_EQ(pwtest::statusEvents(agent).size(), 3u) << agent.err();
  }

  static void expectSigtermEndsWithZero(harness::AgentProcess& agent) {
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.wait(kSigtermWithin), ExitStatus::exitedWith(0)) << agent.err();
    EXPECT_EQ(pwtest::statusEvents(agent).size(), 3u) << agent.err();
  }

  static void expectParentWatchEndsWithZero(harness::AgentProcess& agent) {
    ASSERT_TRUE(agent.killIntermediateParent());
    EXPECT_TRUE(
        agent.waitUntil([&] { return agent.err().find("\"parent exited\"") != std::string::npos; },
                        kParentExitedWithin))
        << agent.err();
    EXPECT_EQ(agent.wait(5s), ExitStatus::exitedWith(0));
    const auto events = pwtest::statusEvents(agent);
    ASSERT_EQ(events.size(), 4u) << agent.err();
    EXPECT_EQ(events.back().string("message"), "parent exited");
  }
};

TEST_F(PipeWireServerFaults, ServerKilledWhileCapturingThenSigtermEndsTheAgentWithZero) {
  auto agent = startAgent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  killServer();
  expectQuietSurvival(*agent);
  expectSigtermEndsWithZero(*agent);
}

TEST_F(PipeWireServerFaults, ServerKilledWhileCapturingThenTheParentWatchStillEndsTheAgent) {
  auto agent = startAgentUnderParent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  killServer();
  expectQuietSurvival(*agent);
  expectParentWatchEndsWithZero(*agent);
}

TEST_F(PipeWireServerFaults, SessionManagerKilledWhileCapturingThenSigtermEndsTheAgentWithZero) {
  auto agent = startAgent({"--pids", std::to_string(player_->pid())});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  killSessionManager();
  expectQuietSurvival(*agent);
  // The agent's own links do not depend on the session manager: the capture goes on.
  EXPECT_TRUE(pwtest::waitForMorePcm(*agent, pwtest::kPcmBytesPerSecond / 2, 5s));
  expectSigtermEndsWithZero(*agent);
}

TEST_F(PipeWireServerFaults, SessionManagerKilledWhileCapturingThenTheParentWatchStillEndsIt) {
  auto agent = startAgentUnderParent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  killSessionManager();
  expectQuietSurvival(*agent);
  expectParentWatchEndsWithZero(*agent);
}

}  // namespace
}  // namespace quenwick::reliability
