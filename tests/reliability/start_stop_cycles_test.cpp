// Many agents started and ended, one after another, on one PipeWire server: by SIGTERM, by
// SIGKILL and by the death of their parent, in processes mode and in global mode. None may leave
// a node, a link or a client in the graph, nor a descriptor open in the server or in the
// session manager.
//
// QUENWICK_SOAK_CYCLES sets the number of cycles: 20 by default, 200 for the full run.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cmath>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "playing_stack.h"
#include "proc_view.h"
#include "stack_processes.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kDefaultCycles = 20;

std::size_t cycleCount() {
  const char* text = std::getenv("QUENWICK_SOAK_CYCLES");
  if (text == nullptr || *text == '\0') return kDefaultCycles;
  return static_cast<std::size_t>(std::max(2L, std::strtol(text, nullptr, 10)));
}

enum class Ending { sigterm, sigkill, parentDeath };

struct GraphCensus {
  std::size_t nodes, ports, links, clients;
  friend bool operator==(const GraphCensus&, const GraphCensus&) = default;
};

std::ostream& operator<<(std::ostream& out, const GraphCensus& census) {
  return out << census.nodes << " nodes, " << census.ports << " ports, " << census.links
             << " links, " << census.clients << " clients";
}

class PipeWireStartStopCycles : public PlayingStack {
 protected:
  // A quiet tone, long enough to outlast every cycle; one channel keeps the file small.
  std::vector<float> playerSignal() const override {
    const std::size_t seconds = 30 + cycleCount() * 3 / 2;
    std::vector<float> tone(seconds * pwtest::kTestRate);
    for (std::size_t n = 0; n < tone.size(); ++n) {
      tone[n] = 0.25f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * n / pwtest::kTestRate));
    }
    return tone;
  }
  std::uint32_t playerChannels() const override { return 1; }

  ::testing::AssertionResult cycle(std::size_t number) {
    const Ending ending = static_cast<Ending>(number % 3);
    std::vector<std::string> args{"--global"};
    if (number % 2 == 1) args = {"--pids", std::to_string(player_->pid())};
    auto agent = ending == Ending::parentDeath ? startAgentUnderParent(args) : startAgent(args);
    if (!agent) return ::testing::AssertionFailure() << "cycle " << number << ": no agent";
    if (!pwtest::waitForRunning(*agent, 10s) ||
        !pwtest::waitForMorePcm(*agent, pwtest::kPcmBytesPerSecond / 10, 10s)) {
      return ::testing::AssertionFailure() << "cycle " << number << ": no sound: " << agent->err();
    }
    std::optional<ExitStatus> status;
    ExitStatus expected = ExitStatus::exitedWith(0);
    switch (ending) {
      case Ending::sigterm:
        agent->sendSignal(SIGTERM);
        break;
      case Ending::sigkill:
        agent->sendSignal(SIGKILL);
        expected = ExitStatus::killedBy(SIGKILL);
        break;
      case Ending::parentDeath:
        agent->killIntermediateParent();
        break;
    }
    status = agent->wait(5s);
    if (status != expected) {
      return ::testing::AssertionFailure()
             << "cycle " << number << " ended with " << (status ? *status : ExitStatus{})
             << ", not " << expected << ": " << agent->err();
    }
    return ::testing::AssertionSuccess();
  }

  std::optional<GraphCensus> census() const {
    auto graph = stack_->dump();
    if (!graph) return std::nullopt;
    return GraphCensus{countOfType(*graph, "PipeWire:Interface:Node"),
                       countOfType(*graph, "PipeWire:Interface:Port"),
                       countOfType(*graph, "PipeWire:Interface:Link"),
                       countOfType(*graph, "PipeWire:Interface:Client")};
  }

  // Waits until the graph holds nothing of any agent, and returns what it holds then.
  std::optional<GraphCensus> settledCensus() const {
    for (auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
      auto graph = stack_->dump();
      if (graph && agentTraces(*graph).none()) return census();
    }
    return std::nullopt;
  }
};

TEST_F(PipeWireStartStopCycles, EveryWayOfEndingLeavesNoNodeLinkOrDescriptorBehind) {
  const std::size_t cycles = cycleCount();
  const auto server = serverPid(stack());
  const auto sessionManager = sessionManagerPid(stack());
  ASSERT_TRUE(server && sessionManager);

  // The first cycle belongs to the baseline: whatever the server sets up once, on the first
  // client of a kind, is not a leak.
  ASSERT_TRUE(cycle(0));
  const auto before = settledCensus();
  ASSERT_TRUE(before) << "the first agent left traces in the graph";
  // pw-dump's own client has gone by now, but the server may take a moment to close it.
  std::this_thread::sleep_for(200ms);
  const auto serverFdsBefore = openDescriptors(*server);
  const auto managerFdsBefore = openDescriptors(*sessionManager);
  ASSERT_TRUE(serverFdsBefore && managerFdsBefore);
  const auto serverMemoryBefore = residentKilobytes(*server);

  const auto started = Clock::now();
  for (std::size_t number = 1; number < cycles; ++number) ASSERT_TRUE(cycle(number));
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  const auto after = settledCensus();
  ASSERT_TRUE(after) << "agents left nodes, links or clients in the graph";
  EXPECT_EQ(*after, *before);
  // The server closes a departed client's descriptors on its own time: give it a moment.
  std::optional<std::size_t> serverFdsAfter, managerFdsAfter;
  for (auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
    serverFdsAfter = openDescriptors(*server);
    managerFdsAfter = openDescriptors(*sessionManager);
    if (serverFdsAfter == serverFdsBefore && managerFdsAfter == managerFdsBefore) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(serverFdsAfter, serverFdsBefore) << "descriptors left open in the server";
  EXPECT_EQ(managerFdsAfter, managerFdsBefore) << "descriptors left open in WirePlumber";
  EXPECT_TRUE(stack().waitForPlayer(player_->pid(), 2s)) << "the player lost its sink";

  std::ostringstream figures;
  figures << cycles << " cycles, " << seconds / static_cast<double>(cycles - 1) << " s each; graph "
          << *before << "; server fds " << *serverFdsBefore << " -> " << serverFdsAfter.value_or(0)
          << ", WirePlumber fds " << *managerFdsBefore << " -> " << managerFdsAfter.value_or(0)
          << "; server VmRSS " << serverMemoryBefore.value_or(0) << " -> "
          << residentKilobytes(*server).value_or(0) << " KiB";
  std::cout << "[ cycles   ] " << figures.str() << std::endl;
}

}  // namespace
}  // namespace quenwick::reliability
