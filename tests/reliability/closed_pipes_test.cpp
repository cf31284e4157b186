// A host that hangs up the agent's standard output or standard error while the agent runs on a
// real PipeWire server: the agent ends with status 0, and writes nothing more where it still can.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "playing_stack.h"
#include "proc_view.h"
#include "quiet_wait.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;

class PipeWireClosedPipes : public PlayingStack {};

TEST_F(PipeWireClosedPipes, ClosingStandardOutputEndsTheAgentSilentlyWithZero) {
  auto agent = startAgent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  agent->closeStdout();
  // The next block of PCM finds no reader: a few milliseconds at most.
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0)) << agent->err();
  const auto events = pwtest::statusEvents(*agent);
  ASSERT_EQ(events.size(), 3u) << "a line after \"running\": " << agent->err();
  EXPECT_EQ(events.back().event(), "running");
}

TEST_F(PipeWireClosedPipes, HangingUpStandardErrorBeforeTheParentDiesEndsTheAgentWithZero) {
  auto agent = startAgentUnderParent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  agent->closeStderr();
  // Nothing is due yet: the agent goes on capturing.
  EXPECT_TRUE(pwtest::waitForMorePcm(*agent, pwtest::kPcmBytesPerSecond / 2, 5s));
  ASSERT_TRUE(stillRunning(*agent));

  // "parent exited" is due within a second and finds no reader.
  ASSERT_TRUE(agent->killIntermediateParent());
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
}

// A suite of its own: the graph keeps its new rate for the rest of the server's life.
class PipeWireClosedStderrRateChange : public PlayingStack {};

TEST_F(PipeWireClosedStderrRateChange,
       HangingUpStandardErrorBeforeARateChangeEndsTheAgentWithZero) {
  auto agent = startAgent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  agent->closeStderr();
  EXPECT_TRUE(pwtest::waitForMorePcm(*agent, pwtest::kPcmBytesPerSecond / 2, 5s));
  ASSERT_TRUE(stillRunning(*agent)) << "the agent ended before anything was due";

  // The new rate gives a "format" line, which finds no reader.
  ASSERT_TRUE(stack().setSetting("clock.force-rate", "44100"));
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
}

}  // namespace
}  // namespace quenwick::reliability
