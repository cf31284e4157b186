// Shared pieces of the agent-process tests: a scratch directory per test, the agent on the
// scripted fake audio layer as a child process, its call log and status events, and the
// conversion tool as the reference for PCM bytes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent_process.h"
#include "json_line.h"

namespace quenwick::agent_test {

using harness::AgentProcess;
using harness::ExitStatus;
using harness::JsonValue;
using harness::StatusEvent;

using namespace std::chrono_literals;

// Bound on anything that should happen promptly; a test that needs it is already failing.
inline constexpr auto kLiveness = 10s;

// A fresh directory, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path(std::string_view name) const;
  // Writes `content` to the file `name` and returns its path.
  std::string write(std::string_view name, std::string_view content) const;

 private:
  std::string root_;
};

struct RunOptions {
  bool underParent = false;  // as the grandchild below a parent the test can kill
  harness::StdinMode stdinMode = harness::StdinMode::devNull;
};

// quenwick-fake running `script` with `args`. A call log setting is added to the script, and a
// sync step before its own steps: they start only once the agent serves its main queue, which
// it does only after its signal handlers are in place.
class FakeAgent {
 public:
  FakeAgent(std::string_view script, const std::vector<std::string>& args,
            const RunOptions& options = {});

  const ScratchDir& dir() const { return dir_; }
  AgentProcess& process() { return *process_; }
  bool started() const { return process_ != nullptr; }

  // Every line of the call log, each checked to be a JSON object.
  std::vector<JsonValue> logLines() const;
  // Only the calls the agent made, in order.
  std::vector<JsonValue> calls() const;
  // Waits until the agent serves its main queue: from then on SIGTERM and SIGPIPE are handled.
  bool waitUntilServing(std::chrono::milliseconds timeout);
  // Waits until the fake has worked through all its steps.
  bool waitForSteps(std::chrono::milliseconds timeout);

 private:
  ScratchDir dir_;
  std::string logPath_;
  std::unique_ptr<AgentProcess> process_;

  bool waitForFakeLine(std::string_view what, std::chrono::milliseconds timeout);
};

// The real agent, `quenwick`, with `args`.
std::unique_ptr<AgentProcess> startRealAgent(const std::vector<std::string>& args);

// The status events of a standard error capture; a malformed line fails the test.
std::vector<StatusEvent> eventsOf(const std::string& err);
std::vector<std::string> namesOf(const std::vector<StatusEvent>& events);

// The "call" of each log line, and the calls of one name.
std::vector<std::string> callNames(const std::vector<JsonValue>& calls);
std::vector<JsonValue> callsNamed(const std::vector<JsonValue>& calls, std::string_view name);
// A string, integer or boolean member of a log line, or of the object under `outer`.
std::string stringAt(const JsonValue& line, std::string_view key);
std::int64_t integerAt(const JsonValue& line, std::string_view key);
bool boolAt(const JsonValue& line, std::string_view key);
std::vector<std::int64_t> integersAt(const JsonValue& line, std::string_view key);

// The teardown's calls; any of them in a log means the agent tore down.
bool hasTeardownCall(const std::vector<JsonValue>& calls);

// Raw sample files, as the fake's "source file" and the conversion tool both read them.
std::string floatBytes(const std::vector<float>& samples);
std::string int16Bytes(const std::vector<std::int16_t>& samples);
// A deterministic test signal: `frames` interleaved frames of `channels` channels, every
// channel different, inside [-1.2, 1.2] so that clamping takes part.
std::vector<float> testSignal(std::size_t frames, std::uint32_t channels, std::uint32_t seed);
std::vector<std::int16_t> testSignal16(std::size_t frames, std::uint32_t channels,
                                       std::uint32_t seed);
// The test signal as raw bytes of the layout's sample type: 16-bit for "s16", float otherwise.
std::string signalBytes(std::size_t frames, std::uint32_t channels, std::string_view layout,
                        std::uint32_t seed);

// What quenwick-convert writes for the samples in `inputPath`: the PCM the agent must write for
// a tap of this format delivering lists of `blockFrames` frames, from a fresh resampler.
std::string convertReference(const std::string& inputPath, double rate, std::uint32_t channels,
                             std::string_view layout, std::uint32_t blockFrames);

// Lets a byte-string comparison fail with a short message instead of two huge dumps.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected);

}  // namespace quenwick::agent_test
