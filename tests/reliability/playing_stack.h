// The setting of the fault tests on PipeWire: a private stack of the test's own (a fault may take
// it down), with a player playing a known signal into the test sink all along.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "agent_session.h"
#include "private_pipewire.h"
#include "test_audio.h"

namespace quenwick::reliability {

class PlayingStack : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace std::chrono_literals;
    std::string error;
    stack_ = pwtest::PrivatePipeWire::start(&error);
    ASSERT_TRUE(stack_) << "no PipeWire stack: " << error;
    signal_ = playerSignal();
    ASSERT_TRUE(pwtest::writeFloatWav(file("signal.wav"), signal_, playerChannels()));
    player_ = stack_->play(file("signal.wav"));
    ASSERT_TRUE(player_ && stack_->waitForPlayer(player_->pid(), 10s)) << "the player never played";
  }

  // What the player plays, at 48000 Hz: by default thirty seconds of pseudo-random stereo.
  virtual std::vector<float> playerSignal() const {
    return pwtest::randomStereo(30 * pwtest::kTestRate, 11);
  }
  virtual std::uint32_t playerChannels() const { return 2; }

  pwtest::PrivatePipeWire& stack() { return *stack_; }
  std::string file(const std::string& name) const { return stack_->directory() + "/" + name; }

  std::unique_ptr<harness::AgentProcess> startAgent(const std::vector<std::string>& args) {
    return pwtest::startAgent(args, stack_->environment());
  }

  // The agent as the child of a parent that the test can kill.
  std::unique_ptr<harness::AgentProcess> startAgentUnderParent(
      const std::vector<std::string>& args) {
    harness::SpawnOptions options;
    options.environment = stack_->environment();
    options.statusLines = true;
    std::string error;
    auto agent =
        harness::AgentProcess::spawnUnderParent(QUENWICK_AGENT_PATH, args, options, &error);
    EXPECT_TRUE(agent) << error;
    return agent;
  }

  // Waits until the agent runs and a quarter of a second of sound has come from it.
  static ::testing::AssertionResult streaming(harness::AgentProcess& agent) {
    using namespace std::chrono_literals;
    if (!pwtest::waitForRunning(agent, 10s)) {
      return ::testing::AssertionFailure() << "never running: " << agent.err();
    }
    if (!pwtest::waitForMorePcm(agent, pwtest::kPcmBytesPerSecond / 4, 10s)) {
      return ::testing::AssertionFailure() << "no PCM: " << agent.err();
    }
    return ::testing::AssertionSuccess();
  }

  std::unique_ptr<pwtest::PrivatePipeWire> stack_;
  std::vector<float> signal_;
  std::unique_ptr<harness::AgentProcess> player_;
};

}  // namespace quenwick::reliability
