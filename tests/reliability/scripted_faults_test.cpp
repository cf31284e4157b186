// Host faults on the scripted audio layer, where they reach parts of the agent that a PipeWire
// server never exercises: a layer whose stop waits for its IO thread, and a format change that
// falls on a standard error nobody reads any more.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "proc_view.h"
#include "quiet_wait.h"
#include "support/agent_process.h"
#include "support/json_line.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::AgentProcess;
using harness::ExitStatus;
using Clock = std::chrono::steady_clock;

class ScriptedFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quenwick-faults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  std::unique_ptr<AgentProcess> startFake(const std::string& script) {
    const std::string path = directory_ + "/script";
    std::ofstream(path) << script;
    harness::SpawnOptions options;
    options.environment = {"QUENWICK_FAKE_SCRIPT=" + path};
    options.statusLines = true;
    std::string error;
    auto agent = AgentProcess::spawn(QUENWICK_FAKE_PATH, {"--global"}, options, &error);
    EXPECT_TRUE(agent) << error;
    return agent;
  }

  static bool waitForRunning(AgentProcess& agent) {
    return agent.waitUntil(
        [&] { return agent.err().find("{\"event\":\"running\"}\n") != std::string::npos; }, 10s);
  }

  std::string directory_;
};

// The fake's stop() joins its IO thread, which is blocked in a write to the stalled host, so
// the teardown never finishes: the agent must still end, by its own deadline.
TEST_F(ScriptedFaults, SigtermWhileTheHostStallsEndsTheAgentWithZeroWithinTwoSeconds) {
  auto agent = startFake("format 48000 2 f32\ndeliver forever 480\n");
  ASSERT_TRUE(agent);
  ASSERT_TRUE(waitForRunning(*agent)) << agent->err();

  // Stop reading; the fake delivers as fast as it can, so the pipe is full at once.
  std::this_thread::sleep_for(500ms);
#if defined(__linux__)
  const int look = reopenPipe(agent->pid(), STDOUT_FILENO, O_RDONLY);
  ASSERT_GE(look, 0);
  const auto queued = bytesQueued(look);
  close(look);
  ASSERT_TRUE(queued);
  EXPECT_GE(*queued, 60000u) << "the agent's standard output is not stalled";
#endif

  const auto signalled = Clock::now();
  agent->sendSignal(SIGTERM);
  const auto status = waitWithoutReading(*agent, 3s);
  const auto took = std::chrono::duration<double>(Clock::now() - signalled).count();
  EXPECT_EQ(status, ExitStatus::exitedWith(0)) << "after " << took << " s";
  std::cout << "[ figures  ] exit " << took << " s after SIGTERM" << std::endl;
  std::string error;
  const auto events = harness::parseStatusLines(agent->err(), &error);
  ASSERT_TRUE(events) << error;
  EXPECT_EQ(events->size(), 3u) << "a line after \"running\": " << agent->err();
  EXPECT_EQ(agent->out().size() % 2, 0u) << "a sample cut in two";
}

TEST_F(ScriptedFaults, AFormatChangeDueOnAHungUpStandardErrorEndsTheAgentWithZero) {
#if !defined(__linux__)
  GTEST_SKIP() << "hanging up a child's standard error goes through /proc";
#endif
  // The change comes two seconds after start: by then the host has hung up standard error.
  auto agent = startFake(
      "format 48000 2 f32\npace 10000\ndeliver 10 480\nsleep 2000\n"
      "change 44100 2 f32\nnotify tfmt\nsync\ndeliver forever 441\n");
  ASSERT_TRUE(agent);
  ASSERT_TRUE(waitForRunning(*agent)) << agent->err();
  ASSERT_EQ(agent->err().find("changed"), std::string::npos) << "the change came too early";
  agent->closeStderr();

  // Nothing is due for a while yet: the agent goes on.
  agent->waitUntil([] { return false; }, 500ms);
  ASSERT_TRUE(stillRunning(*agent)) << "the agent ended before anything was due";
  // Standard output is still read all along: only the status line finds no reader.
  EXPECT_EQ(agent->wait(10s), ExitStatus::exitedWith(0));
}

}  // namespace
}  // namespace quenwick::reliability
