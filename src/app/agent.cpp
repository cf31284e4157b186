#include "app/agent.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/ending.h"
#include "app/main_queue.h"
#include "app/parent_watch.h"
#include "app/shutdown.h"
#include "app/silence_watch.h"
#include "app/standard_streams.h"
#include "app/status.h"
#include "convert/capture_callback.h"

namespace quenwick {
namespace {

constexpr int pcmHandle = kPcmStream;
// How long an ending agent gives a slow host to take the PCM it already has.
constexpr std::chrono::milliseconds kLastPcmPatience{500};
// How often a waiting agent looks whether any requested process still lives.
constexpr std::chrono::milliseconds kLivenessInterval{200};
// How often a reporting agent looks at what it hears and at who ended.
constexpr std::chrono::milliseconds kReportInterval{250};
constexpr std::int64_t kSilenceSeconds = SilenceWatch::kStretch.count();

// The PCM stream's first failed write, noticed where the write happens (perhaps a real-time
// thread) and reported from the main queue.
std::atomic<int> pcmWriteError{0};
int pcmFailureAlarm = -1;

void onPcmWriteFailure(int error) noexcept {
  pcmWriteError.store(error);
  MainQueue::raise(pcmFailureAlarm);
}

void reportPcmWriteFailure() {
  const int error = pcmWriteError.load();
  // The host closed its end: leave silently, as on SIGPIPE (which a host may have ignored).
  if (error == EPIPE) endNow(ExitStatus::ended);
  fail("could not write the audio: " + std::string(std::strerror(error)), ExitStatus::failure);
}

[[noreturn]] void failToRun(int error) {
  fail("could not run: " + std::string(std::strerror(error)), ExitStatus::failure);
}

CaptureRequest parseOrFail(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto parsed = parseCommandLine(args);
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    fail(error->message, ExitStatus::usageError);
  }
  return std::get<CaptureRequest>(std::move(parsed));
}

StatusEvent formatEvent(const CaptureRequest& request, const StreamFormat& format) {
  return {
      {"event", std::string("format")},
      {"sample_rate", format.sampleRate},
      {"channels", std::int64_t{format.channels}},
      {"mode", std::string(request.global ? "global" : "processes")},
      {"pids", std::vector<std::int64_t>(request.pids.begin(), request.pids.end())},
  };
}

// Who to hear, or who to leave out: the processes the host named, for the whole run.
Hearing hearingOf(const CaptureRequest& request, std::int32_t parentPid) {
  Hearing hearing;
  hearing.global = request.global;
  if (!request.global) {
    hearing.pids = request.pids;
  } else {
    if (request.excludeSelf != 0) hearing.pids.push_back(request.excludeSelf);
    hearing.pids.push_back(parentPid);
  }
  hearing.targets = ProcessTargets::ofAlive(
      request.global ? std::vector<std::int32_t>{request.excludeSelf, parentPid} : request.pids,
      request.tree);
  hearing.followPlaying = request.report;
  return hearing;
}

// Nothing to hear: either no requested process lives, and none ever will be heard, or some live
// and play nothing yet.
[[noreturn]] void endForNothingToHear(const ProcessTargets& targets) {
  fail(targets.anyAlive()
           ? "none of the requested processes are audio processes yet; is the app playing sound?"
           : "none of the requested processes exists",
       ExitStatus::nothingToHear);
}

StatusEvent playingEvent(const std::vector<std::int32_t>& pids) {
  return {{"event", std::string("playing")},
          {"pids", std::vector<std::int64_t>(pids.begin(), pids.end())}};
}

// Everything the start-up makes lives as long as the process: the audio layer's threads hold on
// to it, and no way out runs destructors.
class Agent final : public CaptureEvents {
 public:
  Agent(CaptureRequest request, std::int32_t parentPid)
      : request_(std::move(request)), hearing_(hearingOf(request_, parentPid)) {}

  // The start-up: a capture of what plays now, a wait for it (--wait), or the end.
  void start(const CaptureFactory& openCapture) {
    if (!mainQueue_.valid()) failToRun(mainQueue_.error());
    pcmFailureAlarm = mainQueue_.addAlarm(reportPcmWriteFailure);
    capture_ = openCapture();
    capture_->listen(mainQueue_, *this);
    if (lookAtTheProcesses() == Resolution::somethingToHear) return startCapture();
    if (!request_.wait || !hearing_.targets.anyAlive()) endForNothingToHear(hearing_.targets);
    // Nothing to hear yet: the layer's processes are followed until a target shows in them, for
    // as long as one of them lives.
    waiting_ = true;
    mainQueue_.repeat(kLivenessInterval, [this] {
      if (waiting_ && !hearing_.targets.anyAlive()) endForNothingToHear(hearing_.targets);
      return waiting_;
    });
  }

  [[noreturn]] void serve() {
    mainQueue_.run();
    failToRun(errno);
  }

  void processesChanged() override {
    if (waiting_ && lookAtTheProcesses() == Resolution::somethingToHear) {
      waiting_ = false;
      startCapture();
    }
  }

  void formatChanged(const StreamFormat& format) override {
    StatusEvent event = formatEvent(request_, format);
    event.emplace_back("changed", true);
    status(event);
  }

  void playingChanged(std::vector<std::int32_t> pids) override {
    playing_ = std::move(pids);
    if (running_) reportPlaying();
  }

  // The audio server took every audio object with it: the sound already captured goes out, and
  // the host hears why the agent ends.
  void serverGone() override {
    capture_->halt();
    pcm_.drain(kLastPcmPatience);
    fail("the audio server went away", ExitStatus::failure);
  }

 private:
  Resolution lookAtTheProcesses() {
    auto resolution = capture_->resolve(hearing_);
    if (const auto* failure = std::get_if<CaptureFailure>(&resolution)) failWith(*failure);
    return std::get<Resolution>(resolution);
  }

  [[noreturn]] static void failWith(const CaptureFailure& failure) {
    fail(failure.message, ExitStatus::failure);
  }

  // From "creating_tap" to "running".
  void startCapture() {
    status({{"event", std::string("creating_tap")}});
    if (const auto failure = capture_->create()) failWith(*failure);
    const auto format = capture_->format();
    if (const auto* failure = std::get_if<CaptureFailure>(&format)) failWith(*failure);
    status(formatEvent(request_, std::get<StreamFormat>(format)));
    if (const auto failure = capture_->start(callback_)) failWith(*failure);
    // Handled before the host hears "running", as a host may stop the agent the moment it does.
    installSignalHandlers(mainQueue_, [this] {
      capture_->teardown();
      pcm_.drain(kLastPcmPatience);
    });
    status({{"event", std::string("running")}});
    if (!request_.report) return;
    // Queued behind what the capture has told of its start, so that the first word is the news.
    mainQueue_.post([this] {
      running_ = true;
      reportPlaying();
      mainQueue_.repeat(kReportInterval, [this] {
        reportEnded();
        reportSilence();
        return true;
      });
    });
  }

  // Who the host hears play: processes mode, each listed process whose own sound (or, with
  // --tree, its tree's) reaches the capture, in the host's order; global mode, whoever is heard.
  void reportPlaying() {
    std::vector<std::int32_t> heard;
    if (request_.global) {
      heard = playing_;
    } else {
      for (const TargetProcess& target : hearing_.targets.processes) {
        const bool plays = std::any_of(playing_.begin(), playing_.end(), [&](std::int32_t pid) {
          return hearing_.targets.coversFor(target, pid);
        });
        if (plays && std::find(heard.begin(), heard.end(), target.pid) == heard.end()) {
          heard.push_back(target.pid);
        }
      }
    }
    if (reportedPlaying_ && heard == *reportedPlaying_) return;
    status(playingEvent(heard));
    reportedPlaying_ = std::move(heard);
  }

  // Processes mode: each listed process that ended, once, by its identity.
  void reportEnded() {
    if (request_.global) return;
    for (const TargetProcess& target : hearing_.targets.processes) {
      if (std::find(ended_.begin(), ended_.end(), target.pid) != ended_.end() ||
          ProcessTargets::alive(target)) {
        continue;
      }
      ended_.push_back(target.pid);
      status({{"event", std::string("ended")}, {"pid", std::int64_t{target.pid}}});
    }
  }

  void reportSilence() {
    const bool heardBefore = silence_.heardSound();
    const bool anyPlaying = reportedPlaying_ && !reportedPlaying_->empty();
    switch (silence_.look(SilenceWatch::Clock::now(), callback_.soundCycles(), anyPlaying)) {
      case SilenceWatch::Verdict::nothing:
        return;
      case SilenceWatch::Verdict::sound:
        status({{"event", std::string("sound")}});
        return;
      case SilenceWatch::Verdict::silence: {
        StatusEvent event{{"event", std::string("silence")}, {"seconds", kSilenceSeconds}};
        // Zeros from the very start may be the platform's doing rather than the processes'.
        if (!heardBefore && !silenceAdvised_) {
          if (std::string advice = capture_->silenceAdvice(); !advice.empty()) {
            event.emplace_back("advice", std::move(advice));
          }
        }
        silenceAdvised_ = true;
        status(event);
        return;
      }
    }
  }

  const CaptureRequest request_;
  const Hearing hearing_;
  MainQueue mainQueue_;
  PcmOutput pcm_{pcmHandle, onPcmWriteFailure};
  CaptureCallback callback_{pcm_, request_.quality};
  std::unique_ptr<Capture> capture_;
  // Main queue:
  bool waiting_ = false;
  bool running_ = false;
  std::vector<std::int32_t> playing_;  // who the capture hears play, as it said
  std::optional<std::vector<std::int32_t>> reportedPlaying_;
  std::vector<std::int32_t> ended_;  // listed pids reported as ended
  SilenceWatch silence_;
  bool silenceAdvised_ = false;  // the first "silence" has been written
};

}  // namespace

void runAgent(int argc, char** argv, const CaptureFactory& openCapture) {
  // First of all: a parent that dies while the start-up is slow, or while a call into the audio
  // layer never returns, must still count as gone, not be replaced by whoever adopts the agent.
  const std::int32_t parentPid = parentAtStart();
  unblockHandledSignals();
  startParentWatch(parentPid);
  prepareStandardStreams();
  static Agent agent(parseOrFail(argc, argv), parentPid);
  agent.start(openCapture);
  agent.serve();
}

}  // namespace quenwick
