// Many minutes of audio through the agent's real start-up code and conversion path on the
// scripted audio layer, delivered as fast as the agent takes them, with a format change after
// every minute: the PCM must be exactly the conversion of the input, every change must give its
// one "format" event, and the agent's resident memory must stay flat.
//
// QUENWICK_SOAK_MINUTES sets the minutes of audio: 5 by default, 60 for the full soak.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "proc_view.h"
#include "soak_plan.h"
#include "support/agent_process.h"
#include "support/json_line.h"

namespace quenwick::reliability {
namespace {

using namespace std::chrono_literals;
using harness::AgentProcess;
using harness::ExitStatus;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kDefaultMinutes = 5;

// Resident memory may not grow from the earlier half of the run after the first minute (the
// warm-up) to the later half: the highest figure of the later half may exceed the highest of the
// earlier one by this much at most. A block kept per buffer list (there are thousands a second)
// or per format change would add up to far more over the run. The sanitizers' allocators cache
// and quarantine freed blocks by size class, so their resident set wanders by several MiB with
// the sizes in use; without them it holds still to the page.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::int64_t kAllowedGrowthKilobytes = 8192;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::int64_t kAllowedGrowthKilobytes = 8192;
#else
constexpr std::int64_t kAllowedGrowthKilobytes = 1024;
#endif
#else
constexpr std::int64_t kAllowedGrowthKilobytes = 1024;
#endif

std::size_t soakMinutes() {
  const char* text = std::getenv("QUENWICK_SOAK_MINUTES");
  if (text == nullptr || *text == '\0') return kDefaultMinutes;
  return static_cast<std::size_t>(std::max(1L, std::strtol(text, nullptr, 10)));
}

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/quenwick-soak-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Compares the agent's standard output, as it grows, with the PCM each minute must give; the
// expected PCM of a minute is made when the output reaches it.
class PcmFollower {
 public:
  PcmFollower(const SoakPlan& plan, std::string directory)
      : plan_(plan), directory_(std::move(directory)) {
    for (const SoakSegment& segment : plan_.segments) {
      total_ += outputCount(segment.frames, segment.format.rate);
    }
  }

  // Checks the samples that have come since the last call. False once something differs.
  bool follow(const std::string& out) {
    const std::uint64_t arrived = out.size() / 2;
    while (mismatch_.empty() && checked_ < arrived) {
      if (checked_ == segmentEnd_ && !nextSegment()) {
        mismatch_ = "output beyond the last minute, at sample " + std::to_string(checked_);
        break;
      }
      const std::uint64_t upTo = std::min(arrived, segmentEnd_);
      const std::int16_t* expected = expected_.data() + (checked_ - segmentStart_);
      if (std::memcmp(out.data() + checked_ * 2, expected, (upTo - checked_) * 2) != 0) {
        std::uint64_t at = checked_;
        std::int16_t got = 0;
        for (;; ++at) {
          std::memcpy(&got, out.data() + at * 2, 2);
          if (got != expected[at - checked_]) break;
        }
        std::ostringstream what;
        what << "sample " << at << " (minute " << segment_ << ", sample " << at - segmentStart_
             << " of it) is " << got << ", not " << expected[at - checked_];
        mismatch_ = what.str();
        break;
      }
      checked_ = upTo;
    }
    return mismatch_.empty();
  }

  bool complete() const { return checked_ == total_; }
  std::uint64_t total() const { return total_; }
  std::uint64_t checked() const { return checked_; }
  // Samples of the first minute: the warm-up.
  std::uint64_t firstMinute() const {
    return outputCount(plan_.segments[0].frames, plan_.segments[0].format.rate);
  }
  const std::string& mismatch() const { return mismatch_; }

 private:
  bool nextSegment() {
    const std::size_t next = started_ ? segment_ + 1 : 0;
    if (next >= plan_.segments.size()) return false;
    started_ = true;
    segment_ = next;
    const SoakSegment& segment = plan_.segments[segment_];
    expected_ = expectedPcm(segment, directory_);
    // The count is a closed formula: a resampler that gained or lost a sample at a boundary
    // would be caught here even if the agent agreed with it.
    const std::uint64_t count = outputCount(segment.frames, segment.format.rate);
    if (expected_.size() != count) {
      mismatch_ = "the conversion of minute " + std::to_string(segment_) + " gives " +
                  std::to_string(expected_.size()) + " samples, not " + std::to_string(count);
      return false;
    }
    segmentStart_ = segmentEnd_;
    segmentEnd_ = segmentStart_ + count;
    return true;
  }

  const SoakPlan& plan_;
  const std::string directory_;
  std::uint64_t total_ = 0;
  std::uint64_t checked_ = 0;
  bool started_ = false;
  std::size_t segment_ = 0;
  std::uint64_t segmentStart_ = 0;
  std::uint64_t segmentEnd_ = 0;
  std::vector<std::int16_t> expected_;
  std::string mismatch_;
};

struct MemorySample {
  std::uint64_t samplesOut;
  std::int64_t kilobytes;
};

bool logSays(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  const std::string log((std::istreambuf_iterator<char>(in)), {});
  return log.find(text) != std::string::npos;
}

TEST(ScriptedSoak, MinutesOfFormatChangesGiveExactPcmOneEventEachAndFlatMemory) {
  const std::size_t minutes = soakMinutes();
  ScratchDirectory scratch;
  ASSERT_FALSE(scratch.path().empty());
  const std::string logPath = scratch.path() + "/calls.log";
  const SoakPlan plan = planSoak(minutes, scratch.path(), logPath);
  const std::string scriptPath = scratch.path() + "/soak.script";
  std::ofstream(scriptPath) << plan.script;

  harness::SpawnOptions options;
  // AddressSanitizer keeps freed blocks in a quarantine of up to 256 MiB before it reuses them;
  // the fake frees a buffer list per delivery, so with the default quarantine the resident set
  // grows until the quarantine is full, whatever the agent does. A small quarantine shows the
  // agent's own memory. Builds without the sanitizer ignore the variable.
  std::string sanitizer = environmentValue("ASAN_OPTIONS");
  sanitizer += std::string(sanitizer.empty() ? "" : ":") + "quarantine_size_mb=4";
  options.environment = {"QUENWICK_FAKE_SCRIPT=" + scriptPath, "ASAN_OPTIONS=" + sanitizer};
  options.statusLines = true;
  std::string error;
  auto agent = AgentProcess::spawn(QUENWICK_FAKE_PATH, {"--global"}, options, &error);
  ASSERT_TRUE(agent) << error;

  PcmFollower follower(plan, scratch.path());
  // Memory is sampled by progress through the output, not by the clock: an optimised build
  // gets through minutes of audio in about a second.
  std::vector<MemorySample> memory;
  const std::uint64_t sampleEvery = std::max<std::uint64_t>(1, follower.total() / 64);
  std::uint64_t nextSample = 0;
  const auto started = Clock::now();
  const bool finished = agent->waitUntil(
      [&] {
        if (!follower.follow(agent->out())) return true;
        if (follower.checked() >= nextSample) {
          nextSample = follower.checked() + sampleEvery;
          if (auto kilobytes = residentKilobytes(agent->pid())) {
            memory.push_back({follower.checked(), *kilobytes});
          }
        }
        return follower.complete();
      },
      60s + std::chrono::seconds(15 * minutes));
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_EQ(follower.mismatch(), "");
  ASSERT_TRUE(finished) << follower.checked() << " of " << follower.total() << " samples after "
                        << seconds << " s; " << agent->err();

  // Nothing more may come: the fake is done, and a last wait lets any stray write arrive.
  for (auto deadline = Clock::now() + 10s;
       !logSays(logPath, "\"fake\":\"done\"") && Clock::now() < deadline;) {
    agent->waitUntil([] { return false; }, 50ms);
  }
  EXPECT_TRUE(logSays(logPath, "\"fake\":\"done\"")) << "the fake never finished its script";
  agent->waitUntil([] { return false; }, 300ms);
  EXPECT_EQ(agent->out().size(), follower.total() * 2);

  agent->sendSignal(SIGTERM);
  // A sanitizer finding would end the agent with its own status and its report on stderr.
  EXPECT_EQ(agent->wait(10s), ExitStatus::exitedWith(0)) << agent->err();

  std::string parseError;
  const auto events = harness::parseStatusLines(agent->err(), &parseError);
  ASSERT_TRUE(events) << parseError;
  ASSERT_EQ(events->size(), 2 + plan.segments.size()) << agent->err();
  EXPECT_EQ((*events)[0].event(), "creating_tap");
  EXPECT_EQ((*events)[2].event(), "running");
  for (std::size_t minute = 0; minute < plan.segments.size(); ++minute) {
    const auto& event = (*events)[minute == 0 ? 1 : minute + 2];
    const SoakFormat& format = plan.segments[minute].format;
    EXPECT_EQ(event.event(), "format") << "minute " << minute;
    EXPECT_EQ(event.number("sample_rate"), static_cast<double>(format.rate)) << "minute " << minute;
    EXPECT_EQ(event.integer("channels"), format.channels) << "minute " << minute;
    EXPECT_EQ(event.has("changed"), minute > 0) << "minute " << minute;
  }

  // Memory after the first minute, in an earlier and a later half of the output.
  const std::uint64_t warmUp = follower.firstMinute();
  const std::uint64_t middle = warmUp + (follower.total() - warmUp) / 2;
  std::int64_t atWarmUp = -1, earlier = 0, later = 0, last = 0;
  std::size_t counted = 0;
  for (const MemorySample& sample : memory) {
    if (sample.samplesOut < warmUp) continue;
    if (atWarmUp < 0) atWarmUp = sample.kilobytes;
    std::int64_t& half = sample.samplesOut < middle ? earlier : later;
    half = std::max(half, sample.kilobytes);
    last = sample.kilobytes;
    ++counted;
  }
  std::ostringstream figures;
  figures << minutes << " min of audio in " << seconds << " s; VmRSS after warm-up " << atWarmUp
          << " KiB, highest " << earlier << " KiB in the earlier half and " << later
          << " KiB in the later half, " << last << " KiB at the end (" << counted << " samples)";
  std::cout << "[ soak     ] " << figures.str() << std::endl;
#if defined(__linux__)
  ASSERT_GT(earlier, 0) << "too few memory samples: " << figures.str();
  ASSERT_GT(later, 0) << "too few memory samples: " << figures.str();
  EXPECT_LE(later - earlier, kAllowedGrowthKilobytes) << figures.str();
#endif
}

}  // namespace
}  // namespace quenwick::reliability
