// How the real agent leaves a real PipeWire graph: SIGTERM, SIGKILL, its parent going away, and
// how it follows a change of the graph's rate.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "agent_session.h"
#include "stack_test.h"
#include "test_audio.h"

namespace quenwick::pwtest {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;

class Teardown : public StackTest {
 protected:
  void SetUp() override {
    StackTest::SetUp();
    ASSERT_TRUE(writeFloatWav(file("music.wav"), randomStereo(30 * kTestRate, 7)));
    player_ = stack().play(file("music.wav"));
    ASSERT_TRUE(player_ && stack().waitForPlayer(player_->pid(), 10s));
  }

  // Starts a global agent and returns what it made in the graph once the player is linked to
  // it.
  ProcessObjects startTapping(std::unique_ptr<harness::AgentProcess>& agent) {
    agent = startAgent({"--global"}, stack().environment());
    EXPECT_TRUE(agent && waitForRunning(*agent, 10s)) << (agent ? agent->err() : "");
    ProcessObjects objects;
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline && objects.linksIn.size() < 2;) {
      if (auto graph = stack().dump()) objects = objectsOf(*graph, agent->pid());
    }
    EXPECT_EQ(objects.nodes.size(), 1u);
    EXPECT_EQ(objects.linksIn.size(), 2u);  // the player's FL and FR
    return objects;
  }

  // Waits until nothing of `before` is in the graph any more, and checks that the player still
  // plays to its sink.
  void expectGone(pid_t agentPid, const ProcessObjects& before) {
    bool gone = false;
    for (auto deadline = std::chrono::steady_clock::now() + 3s;
         !gone && std::chrono::steady_clock::now() < deadline;) {
      auto graph = stack().dump();
      if (!graph) continue;
      const ProcessObjects now = objectsOf(*graph, agentPid);
      gone = now.clients.empty() && now.nodes.empty();
      for (std::int64_t id : before.nodes) gone = gone && linksInto(*graph, id).empty();
      for (std::int64_t id : before.linksIn) gone = gone && !hasObject(*graph, id);
    }
    EXPECT_TRUE(gone) << "the agent's node or links are still in the graph";
    EXPECT_TRUE(stack().waitForPlayer(player_->pid(), 1s)) << "the player lost its sink";
  }

  std::unique_ptr<harness::AgentProcess> player_;
};

TEST_F(Teardown, SigtermRemovesOurNodeAndLinksAndExitsZeroSilently) {
  std::unique_ptr<harness::AgentProcess> agent;
  const ProcessObjects before = startTapping(agent);
  ASSERT_TRUE(agent);
  agent->sendSignal(SIGTERM);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
  EXPECT_EQ(statusEvents(*agent).size(), 3u) << agent->err();  // nothing after "running"
  expectGone(agent->pid(), before);
}

TEST_F(Teardown, SigkillLeavesNothingBehind) {
  std::unique_ptr<harness::AgentProcess> agent;
  const ProcessObjects before = startTapping(agent);
  ASSERT_TRUE(agent);
  agent->sendSignal(SIGKILL);
  EXPECT_EQ(agent->wait(5s), ExitStatus::killedBy(SIGKILL));
  expectGone(agent->pid(), before);
}

TEST_F(Teardown, TheParentGoingAwayEndsTheAgentWithParentExited) {
  harness::SpawnOptions options;
  options.environment = stack().environment();
  options.statusLines = true;
  std::string error;
  auto agent =
      harness::AgentProcess::spawnUnderParent(QUENWICK_AGENT_PATH, {"--global"}, options, &error);
  ASSERT_TRUE(agent) << error;
  ASSERT_TRUE(waitForRunning(*agent, 10s)) << agent->err();
  ASSERT_TRUE(agent->killIntermediateParent());
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
  const auto events = statusEvents(*agent);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().event(), "error");
  EXPECT_EQ(events.back().string("message"), "parent exited");
}

// A suite of its own: the graph keeps the new rate for the rest of the server's life.
class RateChange : public StackTest {};

TEST_F(RateChange, AGraphRateChangeGivesExactlyOneFormatEvent) {
  auto agent = startAgent({"--global"}, stack().environment());
  ASSERT_TRUE(agent);
  ASSERT_TRUE(waitForRunning(*agent, 10s)) << agent->err();
  ASSERT_TRUE(waitForMorePcm(*agent, kPcmBytesPerSecond / 2, 10s));

  ASSERT_TRUE(stack().setSetting("clock.force-rate", "44100"));
  ASSERT_TRUE(agent->waitUntil([&] { return !formatChanges(*agent).empty(); }, 5s)) << agent->err();
  // Both listeners hear of the change, and the format goes away before the new one comes:
  // still only one event.
  agent->waitUntil([] { return false; }, 1500ms);
  const auto changes = formatChanges(*agent);
  ASSERT_EQ(changes.size(), 1u) << agent->err();
  EXPECT_EQ(changes[0].number("sample_rate"), 44100.0);
  EXPECT_EQ(changes[0].integer("channels"), 2);
  EXPECT_EQ(changes[0].boolean("changed"), true);
  EXPECT_TRUE(waitForMorePcm(*agent, kPcmBytesPerSecond / 2, 5s)) << "no sound after the change";

  agent->sendSignal(SIGTERM);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0));
}

// No server at all: an empty runtime directory.
class NoServer : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quenwick-noserver-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    environment_ = {"XDG_RUNTIME_DIR=" + directory_, "PIPEWIRE_RUNTIME_DIR=" + directory_,
                    "PIPEWIRE_REMOTE=pipewire-0"};
  }
  void TearDown() override { rmdir(directory_.c_str()); }

  std::string directory_;
  std::vector<std::string> environment_;
};

TEST_F(NoServer, ProcessesModeFindsNoAudioProcessAndExits3) {
  auto agent = startAgent({"--pids", std::to_string(getpid())}, environment_);
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(3));
  const auto events = statusEvents(*agent);
  ASSERT_EQ(events.size(), 1u) << agent->err();
  EXPECT_EQ(events[0].string("message"),
            "none of the requested processes are audio processes yet; is the app playing sound?");
}

TEST_F(NoServer, GlobalModeCannotCreateTheTapAndExits2) {
  auto agent = startAgent({"--global"}, environment_);
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(2));
  const auto events = statusEvents(*agent);
  ASSERT_EQ(events.size(), 2u) << agent->err();
  EXPECT_EQ(events[0].event(), "creating_tap");
  EXPECT_EQ(events[1].event(), "error");
  EXPECT_EQ(events[1].string("message").value_or("").rfind("could not create the audio tap (", 0),
            0u)
      << agent->err();
}

}  // namespace
}  // namespace quenwick::pwtest
