// A host that stops reading the agent's standard output for a while: the agent must neither
// disturb the graph nor the other applications' playback, must give whole samples again once
// the host reads, and must still end promptly on SIGTERM in the middle of the stall.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <thread>

#include "pcm_stretches.h"
#include "playing_stack.h"
#include "proc_view.h"
#include "quiet_wait.h"
#include "sink_monitor.h"
#include "stack_processes.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;
using Clock = std::chrono::steady_clock;

constexpr auto kStall = 10s;
// A pipe holds 64 KiB: two seconds of PCM. Once it is full the agent's writes block.
constexpr std::size_t kFullPipe = 60000;

class PipeWireStalledHost : public PlayingStack {
 protected:
  // The bytes the host has not read from the agent's standard output.
  std::optional<std::size_t> unreadPcm(const harness::AgentProcess& agent) {
    const int look = reopenPipe(agent.pid(), STDOUT_FILENO, O_RDONLY);
    if (look < 0) return std::nullopt;
    const auto queued = bytesQueued(look);
    close(look);
    return queued;
  }
};

TEST_F(PipeWireStalledHost, TenSecondStallDisturbsNoPlaybackAndReadingResumesWithWholeSamples) {
  auto agent = startAgent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));

  // A witness of what the sink receives, recording from before the stall to after it.
  const std::string recording = file("sink.wav");
  auto recorder = recordSinkMonitor(stack(), recording);
  ASSERT_TRUE(recorder);
  ASSERT_TRUE(agent->waitUntil(
      [&] {
        std::error_code ignored;
        return std::filesystem::file_size(recording, ignored) > 48000 * 8 / 4;
      },
      10s))
      << "the sink's monitor is not being recorded: " << recorder->err();

  std::this_thread::sleep_for(kStall);  // the host reads nothing
  ASSERT_TRUE(stillRunning(*agent)) << agent->err();
  const auto unread = unreadPcm(*agent);
  ASSERT_TRUE(unread);
  EXPECT_GE(*unread, kFullPipe) << "the host's stall never reached the agent";

  // Reading again: what waited in the pipe and in the agent, then live sound.
  EXPECT_TRUE(pwtest::waitForMorePcm(*agent, 6 * pwtest::kPcmBytesPerSecond, 15s))
      << "the agent does not deliver again after the stall";
  recorder->sendSignal(SIGINT);
  EXPECT_TRUE(recorder->wait(5s)) << "pw-record did not stop";
  agent->sendSignal(SIGTERM);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0)) << agent->err();
  EXPECT_EQ(pwtest::statusEvents(*agent).size(), 3u) << agent->err();
  EXPECT_EQ(agent->out().size() % 2, 0u);

  // The sink received the player's signal without a break all through the stall.
  const auto recorded = readStereoFloatWav(recording);
  ASSERT_TRUE(recorded) << "no recording of the sink";
  const Continuity sink = followSignal(*recorded, signal_);
  EXPECT_TRUE(sink.unbroken()) << sink.matchedFrames << " of " << sink.frames - sink.silentFrames
                               << " recorded frames follow the signal (from its frame "
                               << sink.playedOffset << ", gain " << sink.gain << ")";
  // From before the stall to after it.
  EXPECT_GE(sink.matchedFrames, 10u * pwtest::kTestRate);

  // The agent's PCM is whole samples of the signal: stretches of it, cut where the agent had no
  // room left for sound while the host stalled. At 48000 Hz every output sample is one input
  // frame, so each stretch is the conversion of the signal from one of three phases.
  std::vector<std::vector<std::int16_t>> references;
  for (std::size_t phase = 0; phase < 3; ++phase) {
    auto converted = pwtest::convertedFrom(signal_, phase, stack().directory());
    ASSERT_TRUE(converted);
    references.push_back(std::move(*converted));
  }
  const Stretches pcm = coverByStretches(pwtest::samplesOf(agent->out()), references);
  EXPECT_EQ(pcm.unmatched, 0u) << "samples that are no sample of the signal";
  EXPECT_GE(pcm.count, 1u);
  EXPECT_LE(pcm.count, 4u) << "the sound is cut more often than the one stall explains";
  EXPECT_GE(pcm.last, 16000u) << "less than a second of unbroken sound after the stall";
  std::cout << "[ figures  ] sink: " << sink.matchedFrames
            << " frames unbroken; agent: " << pcm.count << " stretches, the last " << pcm.last
            << " samples" << std::endl;
}

TEST_F(PipeWireStalledHost, SigtermDuringTheStallEndsTheAgentWithZeroWithinTwoSeconds) {
  auto agent = startAgent({"--global"});
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  const pid_t agentPid = agent->pid();

  // Long enough for the pipe to fill and the agent's writer to block in it.
  std::this_thread::sleep_for(4s);
  const auto unread = unreadPcm(*agent);
  ASSERT_TRUE(unread);
  ASSERT_GE(*unread, kFullPipe) << "the host's stall never reached the agent";

  const auto signalled = Clock::now();
  agent->sendSignal(SIGTERM);
  // Two seconds, and one more for a loaded machine.
  const auto status = waitWithoutReading(*agent, 3s);
  const double took = std::chrono::duration<double>(Clock::now() - signalled).count();
  EXPECT_EQ(status, ExitStatus::exitedWith(0)) << "after " << took << " s";
  std::cout << "[ figures  ] exit " << took << " s after SIGTERM" << std::endl;
  EXPECT_EQ(pwtest::statusEvents(*agent).size(), 3u) << agent->err();
  EXPECT_EQ(agent->out().size() % 2, 0u) << "a sample cut in two";

  // Its node and links leave the graph; the player plays on.
  bool gone = false;
  for (auto deadline = Clock::now() + 3s; !gone && Clock::now() < deadline;) {
    if (auto graph = stack().dump()) gone = agentTraces(*graph).none();
  }
  EXPECT_TRUE(gone) << "the agent " << agentPid << " left objects in the graph";
  EXPECT_TRUE(stack().waitForPlayer(player_->pid(), 2s)) << "the player lost its sink";
}

}  // namespace
}  // namespace quenwick::reliability
