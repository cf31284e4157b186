// The real agent capturing real players on a private PipeWire server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "agent_session.h"
#include "stack_test.h"
#include "test_audio.h"

namespace quenwick::pwtest {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;

constexpr std::size_t kSignalFrames = 10 * kTestRate;
// Two seconds of the signal must come through bit for bit.
constexpr std::size_t kMinimumMatch = 2 * 16000;

class Capture : public StackTest {
 protected:
  std::vector<float> writeSignal(const std::string& name, std::uint32_t seed) {
    auto signal = randomStereo(kSignalFrames, seed);
    EXPECT_TRUE(writeFloatWav(file(name), signal));
    return signal;
  }

  std::unique_ptr<harness::AgentProcess> playing(const std::string& name) {
    auto player = stack().play(file(name));
    EXPECT_TRUE(player);
    if (player) {
      EXPECT_TRUE(stack().waitForPlayer(player->pid(), 10s)) << name << " never played";
    }
    return player;
  }

  // Lets the agent run for `seconds` of PCM, then ends it as a host would.
  static void captureFor(harness::AgentProcess& agent, std::size_t seconds) {
    ASSERT_TRUE(waitForRunning(agent, 10s)) << agent.err();
    ASSERT_TRUE(waitForMorePcm(agent, seconds * kPcmBytesPerSecond, 20s));
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.wait(5s), ExitStatus::exitedWith(0)) << agent.err();
  }
};

TEST_F(Capture, ProcessesModeCapturesTheRequestedPlayerBitExactAndNothingElse) {
  const auto wanted = writeSignal("wanted.wav", 1);
  writeSignal("other.wav", 2);
  auto wantedPlayer = playing("wanted.wav");
  auto otherPlayer = playing("other.wav");
  ASSERT_TRUE(wantedPlayer && otherPlayer);

  auto agent = startAgent({"--pids", std::to_string(wantedPlayer->pid())}, stack().environment());
  ASSERT_TRUE(agent);
  captureFor(*agent, 3);

  const auto events = statusEvents(*agent);
  ASSERT_EQ(events.size(), 3u) << agent->err();
  EXPECT_EQ(events[0].event(), "creating_tap");
  EXPECT_EQ(events[1].event(), "format");
  EXPECT_EQ(events[1].number("sample_rate"), 48000.0);
  EXPECT_EQ(events[1].integer("channels"), 2);
  EXPECT_EQ(events[1].string("mode"), "processes");
  EXPECT_EQ(events[2].event(), "running");
  // The other player plays all along: one sample of it in the capture breaks the equality.
  EXPECT_EQ(
      checkCapturedExactly(samplesOf(agent->out()), wanted, kMinimumMatch, stack().directory()),
      "");
}

// The agent is started by a parent that plays itself: the shell execs pw-play once the agent
// is on its way, so the agent's parent is a player whose pid it looks up with getppid().
TEST_F(Capture, GlobalModeLeavesOutTheExcludedProcessAndThePlayingParent) {
  writeSignal("excluded.wav", 3);
  const auto heard = writeSignal("heard.wav", 4);
  writeSignal("parent.wav", 5);
  auto excluded = playing("excluded.wav");
  auto heardPlayer = playing("heard.wav");
  ASSERT_TRUE(excluded && heardPlayer);

  const std::string go = file("go");
  const std::string agentPidFile = file("agent.pid");
  auto parent = stack().spawn(
      "bash", {"-c",
               R"((while [ ! -e "$3" ]; do sleep 0.02; done; echo $BASHPID > "$4"; )"
               R"(exec "$1" --global --exclude-self "$2") & exec pw-play "$5" >/dev/null 2>&1)",
               "bash", QUENWICK_AGENT_PATH, std::to_string(excluded->pid()), go, agentPidFile,
               file("parent.wav")});
  ASSERT_TRUE(parent);
  // The agent may start only once its parent is an audio process.
  ASSERT_TRUE(stack().waitForPlayer(parent->pid(), 10s));
  std::ofstream{go};
  ASSERT_TRUE(waitForRunning(*parent, 10s)) << parent->err();
  ASSERT_TRUE(waitForMorePcm(*parent, 3 * kPcmBytesPerSecond, 20s));

  pid_t agentPid = 0;
  std::ifstream{agentPidFile} >> agentPid;
  ASSERT_GT(agentPid, 0);
  kill(agentPid, SIGTERM);
  std::this_thread::sleep_for(300ms);
  parent->sendSignal(SIGTERM);
  parent->wait(5s);

  const auto formats = eventsNamed(*parent, "format");
  ASSERT_EQ(formats.size(), 1u) << parent->err();
  EXPECT_EQ(formats[0].string("mode"), "global");
  EXPECT_EQ(
      checkCapturedExactly(samplesOf(parent->out()), heard, kMinimumMatch, stack().directory()),
      "");
}

TEST_F(Capture, AStreamThatTheProcessOpensWhileTheAgentRunsIsCaptured) {
  const auto late = randomStereo(kSignalFrames, 6);
  {
    std::ofstream out(file("late.f32"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(late.data()),
              static_cast<std::streamsize>(late.size() * sizeof(float)));
  }
  auto player =
      stack().spawn(QUENWICK_LATE_PLAYER_PATH, {file("late.f32")}, harness::StdinMode::pipe);
  ASSERT_TRUE(player);
  // Connected, so an audio process, but with no stream yet.
  ASSERT_TRUE(stack().waitForPlayer(player->pid(), 10s, false));

  auto agent = startAgent({"--pids", std::to_string(player->pid())}, stack().environment());
  ASSERT_TRUE(agent);
  ASSERT_TRUE(waitForRunning(*agent, 10s)) << agent->err();
  ASSERT_TRUE(waitForMorePcm(*agent, kPcmBytesPerSecond, 10s));
  const auto before = samplesOf(agent->out());
  EXPECT_EQ(rms(before, 0, before.size()), 0.0);

  ASSERT_TRUE(player->writeStdin("play\n"));
  captureFor(*agent, 3);
  EXPECT_EQ(checkCapturedExactly(samplesOf(agent->out()), late, kMinimumMatch, stack().directory()),
            "");
}

TEST_F(Capture, SilenceFlowsAtTheOutputRateWhileNothingPlays) {
  auto agent = startAgent({"--global"}, stack().environment());
  ASSERT_TRUE(agent);
  ASSERT_TRUE(waitForRunning(*agent, 10s)) << agent->err();
  ASSERT_TRUE(waitForMorePcm(*agent, kPcmBytesPerSecond / 2, 10s));

  const auto start = std::chrono::steady_clock::now();
  const std::size_t startBytes = agent->out().size();
  agent->waitUntil([] { return false; }, 4s);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double bytesPerSecond = static_cast<double>(agent->out().size() - startBytes) / seconds;
  EXPECT_NEAR(bytesPerSecond, 32000.0, 3200.0);

  const auto samples = samplesOf(agent->out());
  EXPECT_GT(samples.size(), 4u * 16000u);
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](std::int16_t s) { return s == 0; }));
  agent->sendSignal(SIGTERM);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
}

}  // namespace
}  // namespace quenwick::pwtest
