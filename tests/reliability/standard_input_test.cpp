// The agent never reads standard input, whatever the host gives it there: a pipe full of data,
// a pipe at its end, or no descriptor at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "playing_stack.h"
#include "proc_view.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::ExitStatus;
using harness::StdinMode;

class PipeWireStandardInput : public PlayingStack {
 protected:
  std::unique_ptr<harness::AgentProcess> startWithStdin(StdinMode mode) {
    harness::SpawnOptions options;
    options.stdinMode = mode;
    options.environment = stack().environment();
    options.statusLines = true;
    std::string error;
    auto agent = harness::AgentProcess::spawn(QUENWICK_AGENT_PATH, {"--global"}, options, &error);
    EXPECT_TRUE(agent) << error;
    return agent;
  }

  // A second of capture, then SIGTERM: the ordinary life of the agent, untouched by its input.
  static void expectOrdinaryRun(harness::AgentProcess& agent) {
    ASSERT_TRUE(streaming(agent));
    EXPECT_TRUE(pwtest::waitForMorePcm(agent, pwtest::kPcmBytesPerSecond, 5s));
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.wait(5s), ExitStatus::exitedWith(0)) << agent.err();
    EXPECT_EQ(pwtest::statusEvents(agent).size(), 3u) << agent.err();
  }
};

TEST_F(PipeWireStandardInput, APipeFullOfDataIsNeverRead) {
  auto agent = startWithStdin(StdinMode::pipe);
  ASSERT_TRUE(agent);
  // Fill the pipe to the brim through a second writer of our own, with a pattern to recognise.
  const int writer = reopenPipe(agent->pid(), STDIN_FILENO, O_WRONLY);
  ASSERT_GE(writer, 0);
  std::string written;
  for (std::uint32_t n = 0;; ++n) {
    const std::string chunk = std::to_string(n) + ',';
    const ssize_t put = write(writer, chunk.data(), chunk.size());
    if (put > 0) written.append(chunk, 0, static_cast<std::size_t>(put));
    if (put < static_cast<ssize_t>(chunk.size())) break;
  }
  close(writer);
  ASSERT_GE(written.size(), 4096u);

  ASSERT_TRUE(streaming(*agent));
  ASSERT_TRUE(pwtest::waitForMorePcm(*agent, pwtest::kPcmBytesPerSecond, 5s));
  // Every byte is still in the pipe, in order.
  const int reader = reopenPipe(agent->pid(), STDIN_FILENO, O_RDONLY);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(bytesQueued(reader), written.size());
  std::string left(written.size() + 1, '\0');
  const ssize_t got = read(reader, left.data(), left.size());
  close(reader);
  ASSERT_GE(got, 0);
  left.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(left, written);

  agent->sendSignal(SIGTERM);
  EXPECT_EQ(agent->wait(5s), ExitStatus::exitedWith(0)) << agent->err();
  EXPECT_EQ(pwtest::statusEvents(*agent).size(), 3u) << agent->err();
}

TEST_F(PipeWireStandardInput, APipeAtItsEndIsNoProblem) {
  auto agent = startWithStdin(StdinMode::pipe);
  ASSERT_TRUE(agent);
  agent->closeStdin();
  expectOrdinaryRun(*agent);
}

TEST_F(PipeWireStandardInput, NoStandardInputAtAllIsNoProblem) {
  auto agent = startWithStdin(StdinMode::closed);
  ASSERT_TRUE(agent);
  ASSERT_TRUE(streaming(*agent));
  // The agent holds the place with /dev/null, so its connection to the server is not descriptor 0.
  EXPECT_EQ(descriptorTarget(agent->pid(), STDIN_FILENO), "/dev/null");
  expectOrdinaryRun(*agent);
}

}  // namespace
}  // namespace quenwick::reliability
