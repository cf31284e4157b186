#include "agent_run.h"

#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quenwick::agent_test {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::uint32_t nextRandom(std::uint32_t& state) {
  // xorshift32: the same sequence on every machine.
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quenwick-agent-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  root_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ScratchDir::path(std::string_view name) const {
  return root_ + "/" + std::string(name);
}

std::string ScratchDir::write(std::string_view name, std::string_view content) const {
  const std::string file = path(name);
  std::ofstream out(file, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) ADD_FAILURE() << "cannot write " << file;
  return file;
}

FakeAgent::FakeAgent(std::string_view script, const std::vector<std::string>& args,
                     const RunOptions& options)
    : logPath_(dir_.path("calls.jsonl")) {
  const std::string scriptPath =
      dir_.write("script.txt", "log " + logPath_ + "\nsync\n" + std::string(script));
  harness::SpawnOptions spawn;
  spawn.stdinMode = options.stdinMode;
  spawn.environment = {"QUENWICK_FAKE_SCRIPT=" + scriptPath};
  spawn.statusLines = true;
  std::string error;
  process_ = options.underParent
                 ? AgentProcess::spawnUnderParent(QUENWICK_FAKE_PATH, args, spawn, &error)
                 : AgentProcess::spawn(QUENWICK_FAKE_PATH, args, spawn, &error);
  if (!process_) ADD_FAILURE() << "cannot start quenwick-fake: " << error;
}

std::vector<JsonValue> FakeAgent::logLines() const {
  std::vector<JsonValue> lines;
  const auto split = harness::splitLines(readFile(logPath_));
  if (!split) {
    ADD_FAILURE() << "the call log ends inside a line";
    return lines;
  }
  for (const auto& line : *split) {
    std::string error;
    auto value = harness::parseJson(line, &error);
    if (!value || !value->isObject()) {
      ADD_FAILURE() << "malformed call log line (" << error << "): " << line;
      continue;
    }
    lines.push_back(std::move(*value));
  }
  return lines;
}

std::vector<JsonValue> FakeAgent::calls() const {
  std::vector<JsonValue> calls;
  for (auto& line : logLines()) {
    if (line.find("call") != nullptr) calls.push_back(std::move(line));
  }
  return calls;
}

bool FakeAgent::waitForFakeLine(std::string_view what, std::chrono::milliseconds timeout) {
  const auto seen = [&] {
    for (const auto& line : logLines()) {
      const auto* fake = line.find("fake");
      if (fake != nullptr && fake->asString() == what) return true;
    }
    return false;
  };
  return process_->waitUntil(seen, timeout);
}

bool FakeAgent::waitUntilServing(std::chrono::milliseconds timeout) {
  return waitForFakeLine("synced", timeout);
}

bool FakeAgent::waitForSteps(std::chrono::milliseconds timeout) {
  return waitForFakeLine("done", timeout);
}

std::unique_ptr<AgentProcess> startRealAgent(const std::vector<std::string>& args) {
  std::string error;
  harness::SpawnOptions options;
  options.statusLines = true;
  auto process = AgentProcess::spawn(QUENWICK_PATH, args, options, &error);
  if (!process) ADD_FAILURE() << "cannot start quenwick: " << error;
  return process;
}

std::vector<StatusEvent> eventsOf(const std::string& err) {
  std::string error;
  auto events = harness::parseStatusLines(err, &error);
  if (!events) {
    ADD_FAILURE() << "standard error is not status lines: " << error << "\n--- stderr ---\n" << err;
    return {};
  }
  return std::move(*events);
}

std::vector<std::string> namesOf(const std::vector<StatusEvent>& events) {
  std::vector<std::string> names;
  for (const auto& event : events) names.push_back(event.event());
  return names;
}

std::vector<std::string> callNames(const std::vector<JsonValue>& calls) {
  std::vector<std::string> names;
  for (const auto& call : calls) names.push_back(stringAt(call, "call"));
  return names;
}

std::vector<JsonValue> callsNamed(const std::vector<JsonValue>& calls, std::string_view name) {
  std::vector<JsonValue> matching;
  for (const auto& call : calls) {
    if (stringAt(call, "call") == name) matching.push_back(call);
  }
  return matching;
}

std::string stringAt(const JsonValue& line, std::string_view key) {
  const auto* value = line.find(key);
  const auto text = value == nullptr ? std::nullopt : value->asString();
  if (!text) ADD_FAILURE() << "no string \"" << key << "\" in a log line";
  return text.value_or("");
}

std::int64_t integerAt(const JsonValue& line, std::string_view key) {
  const auto* value = line.find(key);
  const auto integer = value == nullptr ? std::nullopt : value->asInteger();
  if (!integer) ADD_FAILURE() << "no integer \"" << key << "\" in a log line";
  return integer.value_or(-1);
}

bool boolAt(const JsonValue& line, std::string_view key) {
  const auto* value = line.find(key);
  const auto flag = value == nullptr ? std::nullopt : value->asBool();
  if (!flag) ADD_FAILURE() << "no boolean \"" << key << "\" in a log line";
  return flag.value_or(false);
}

std::vector<std::int64_t> integersAt(const JsonValue& line, std::string_view key) {
  const auto* value = line.find(key);
  auto integers = value == nullptr ? std::nullopt : value->asIntegers();
  if (!integers) ADD_FAILURE() << "no integer array \"" << key << "\" in a log line";
  return integers.value_or(std::vector<std::int64_t>{});
}

bool hasTeardownCall(const std::vector<JsonValue>& calls) {
  for (const auto& name : callNames(calls)) {
    if (name == "stop" || name == "destroyIOProcID" || name == "destroyAggregateDevice" ||
        name == "destroyProcessTap") {
      return true;
    }
  }
  return false;
}

std::string floatBytes(const std::vector<float>& samples) {
  std::string bytes(samples.size() * sizeof(float), '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::string int16Bytes(const std::vector<std::int16_t>& samples) {
  std::string bytes(samples.size() * sizeof(std::int16_t), '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::vector<float> testSignal(std::size_t frames, std::uint32_t channels, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 1;
  std::vector<float> samples(frames * channels);
  for (auto& sample : samples) {
    sample = static_cast<float>(static_cast<int>(nextRandom(state) % 24001) - 12000) / 10000.0f;
  }
  return samples;
}

std::vector<std::int16_t> testSignal16(std::size_t frames, std::uint32_t channels,
                                       std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 1;
  std::vector<std::int16_t> samples(frames * channels);
  for (auto& sample : samples) {
    sample = static_cast<std::int16_t>(static_cast<int>(nextRandom(state) % 65536) - 32768);
  }
  return samples;
}

std::string signalBytes(std::size_t frames, std::uint32_t channels, std::string_view layout,
                        std::uint32_t seed) {
  return layout == "s16" ? int16Bytes(testSignal16(frames, channels, seed))
                         : floatBytes(testSignal(frames, channels, seed));
}

std::string convertReference(const std::string& inputPath, double rate, std::uint32_t channels,
                             std::string_view layout, std::uint32_t blockFrames) {
  std::ostringstream rateText;
  rateText.precision(17);
  rateText << rate;
  std::string error;
  auto tool = AgentProcess::spawn(
      QUENWICK_CONVERT_PATH,
      {"--rate", rateText.str(), "--channels", std::to_string(channels), "--layout",
       std::string(layout), "--block", std::to_string(blockFrames), inputPath},
      {}, &error);
  if (!tool) {
    ADD_FAILURE() << "cannot start quenwick-convert: " << error;
    return {};
  }
  const auto status = tool->wait(kLiveness);
  if (status != ExitStatus::exitedWith(0)) {
    ADD_FAILURE() << "quenwick-convert failed: " << tool->err();
    return {};
  }
  return tool->out();
}

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                       << " were expected; the first difference is at byte " << at;
}

}  // namespace quenwick::agent_test
