// The host is killed outright while sound streams: the agent notices within its one-second watch.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>

#include "playing_stack.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;
using Clock = std::chrono::steady_clock;

// The watch looks every second; half a second more for the look itself, and one second of
// margin for a loaded machine.
constexpr auto kParentExitedWithin = 1500ms + 1000ms;

class PipeWireParentDeath : public PlayingStack {};

TEST_F(PipeWireParentDeath, ParentKilledWhileSoundStreamsGivesParentExitedAndZero) {
  auto agent = startAgentUnderParent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  // Sound keeps coming right up to the kill.
  ASSERT_TRUE(pwtest::waitForMorePcm(*agent, pwtest::kPcmBytesPerSecond / 2, 5s));

  const auto killed = Clock::now();
  ASSERT_TRUE(agent->killIntermediateParent());
  const bool reported =
      agent->waitUntil([&] { return agent->err().find("\"parent exited\"") != std::string::npos; },
                       kParentExitedWithin);
  const double took = std::chrono::duration<double>(Clock::now() - killed).count();
  EXPECT_TRUE(reported) << "no \"parent exited\" after " << took << " s: " << agent->err();
  std::cout << "[ figures  ] \"parent exited\" " << took << " s after the kill" << std::endl;

  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
  const auto events = pwtest::statusEvents(*agent);
  ASSERT_EQ(events.size(), 4u) << agent->err();
  EXPECT_EQ(events.back().event(), "error");
  EXPECT_EQ(events.back().string("message"), "parent exited");
  EXPECT_EQ(events.back().keys().size(), 2u);
  EXPECT_EQ(agent->out().size() % 2, 0u);
}

}  // namespace
}  // namespace quenwick::reliability
