#include "app/run_control.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/silence_watch.h"
#include "convert/capture_callback.h"

namespace quenwick {
namespace {

// The PCM stream's first failed write, noticed where the write happens (perhaps the delivering
// thread) and reported from the loop: the output hears of it through a plain function.
std::atomic<int> pcmWriteError{0};
std::atomic<RunLoop*> pcmFailureLoop{nullptr};
std::atomic<int> pcmFailureAlarm{-1};

void onPcmWriteFailure(int error) noexcept {
  pcmWriteError.store(error);
  if (RunLoop* loop = pcmFailureLoop.load()) loop->raiseAlarm(pcmFailureAlarm.load());
}

Ending couldNotRun(int error) {
  return Ending::failure("could not run: " + std::string(std::strerror(error)));
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
    hearing.listed = request.pids;
  } else {
    if (request.excludeSelf != 0) hearing.leftOut.push_back(request.excludeSelf);
    hearing.leftOut.push_back(parentPid);
  }
  hearing.targets = ProcessTargets::ofAlive(
      request.global ? std::vector<std::int32_t>{request.excludeSelf, parentPid} : request.pids,
      request.tree);
  hearing.followPlaying = request.report;
  return hearing;
}

// Nothing to hear: either no requested process lives, and none ever will be heard, or some live
// and play nothing yet.
Ending nothingToHear(const ProcessTargets& targets) {
  return Ending::nothingToHear(
      targets.anyAlive()
          ? "none of the requested processes are audio processes yet; is the app playing sound?"
          : "none of the requested processes exists");
}

StatusEvent playingEvent(const std::vector<std::int32_t>& pids) {
  return {{"event", std::string("playing")},
          {"pids", std::vector<std::int64_t>(pids.begin(), pids.end())}};
}

}  // namespace

// One run, from a good command line on. Everything it makes lives until the process ends (the
// audio layer's threads hold on to it) or, in a test, until the RunControl goes.
class RunControl::Run final : public CaptureEvents {
 public:
  Run(const RunServices& services, CaptureRequest request, std::int32_t parentPid)
      : services_(services),
        loop_(services.loop),
        request_(std::move(request)),
        hearing_(hearingOf(request_, parentPid)),
        pcm_{services.pcmStream, onPcmWriteFailure},
        callback_{pcm_, request_.quality},
        silence_{services.times.silence} {
    pcmFailureLoop.store(&loop_);
  }

  ~Run() { pcmFailureLoop.store(nullptr); }

  Ending run(const Backends& backends) {
    if (const int error = loop_.error()) return couldNotRun(error);
    pcmFailureAlarm.store(loop_.addAlarm([this] { reportPcmWriteFailure(); }));
    if (auto failure = commitToABackend(backends)) return Ending::failure(failure->message);
    capture_->listen(loop_, *this);
    start();
    if (!ending_ && !loop_.run()) return couldNotRun(errno);
    return std::move(*ending_);
  }

  void processesChanged() override {
    if (!waiting_) return;
    if (const auto resolution = lookAtTheProcesses(); resolution == Resolution::somethingToHear) {
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
  void serverGone(std::string reason) override {
    capture_->halt();
    pcm_.drain(services_.times.lastPcm);
    end(Ending::failure(std::move(reason)));
  }

 private:
  void status(const StatusEvent& event) { services_.status(event); }

  // The run's ending is the first one decided; the loop runs no job after the one that decides.
  void end(Ending ending) {
    if (ending_) return;
    ending_ = std::move(ending);
    loop_.stop();
  }

  // The first backend that can serve this machine and carries audio; else the first that can
  // serve at all; else the first one's words, as the platform's usual backend is the one a user
  // knows to look at. A later backend is not even opened once one carries audio.
  std::optional<CaptureFailure> commitToABackend(const Backends& backends) {
    std::optional<CaptureFailure> first;
    const Backend* chosen = nullptr;
    for (const Backend& backend : backends) {
      auto opened = backend.open();
      if (auto* capture = std::get_if<OpenedCapture>(&opened)) {
        if (chosen != nullptr && !capture->carriesAudio) continue;
        chosen = &backend;
        capture_ = std::move(capture->capture);
        if (capture->carriesAudio) break;
      } else if (!first) {
        first = std::get<CaptureFailure>(std::move(opened));
      }
    }
    if (chosen == nullptr) {
      return first.value_or(CaptureFailure{"no audio backend is built into this agent"});
    }
    if (request_.report) status({{"event", std::string("backend")}, {"name", chosen->name}});
    return std::nullopt;
  }

  // The start-up: a capture of what plays now, a wait for it (--wait), or the end.
  void start() {
    const auto resolution = lookAtTheProcesses();
    if (!resolution) return;
    if (*resolution == Resolution::somethingToHear) return startCapture();
    if (!request_.wait || !hearing_.targets.anyAlive()) return end(nothingToHear(hearing_.targets));
    // Nothing to hear yet: the layer's processes are followed until a target shows in them, for
    // as long as one of them lives.
    waiting_ = true;
    loop_.repeat(services_.times.liveness, [this] {
      if (waiting_ && !hearing_.targets.anyAlive()) end(nothingToHear(hearing_.targets));
      return waiting_ && !ending_;
    });
  }

  std::optional<Resolution> lookAtTheProcesses() {
    auto resolution = capture_->resolve(hearing_);
    if (const auto* failure = std::get_if<CaptureFailure>(&resolution)) {
      end(Ending::failure(failure->message));
      return std::nullopt;
    }
    return std::get<Resolution>(resolution);
  }

  // From "creating_tap" to "running".
  void startCapture() {
    status({{"event", std::string("creating_tap")}});
    if (const auto failure = capture_->create()) return end(Ending::failure(failure->message));
    const auto format = capture_->format();
    if (const auto* failure = std::get_if<CaptureFailure>(&format)) {
      return end(Ending::failure(failure->message));
    }
    status(formatEvent(request_, std::get<StreamFormat>(format)));
    if (const auto failure = capture_->start(callback_)) {
      return end(Ending::failure(failure->message));
    }
    // Armed before the host hears "running", as a host may stop the agent the moment it does.
    // The teardown is the ending's wind-up: only a stop that wins the way out tears down.
    services_.armStop([this] {
      end(Ending::stopped([this] {
        capture_->teardown();
        pcm_.drain(services_.times.lastPcm);
      }));
    });
    status({{"event", std::string("running")}});
    if (!request_.report) return;
    // Queued behind what the capture has told of its start, so that the first word is the news.
    loop_.post([this] {
      running_ = true;
      reportPlaying();
      loop_.repeat(services_.times.report, [this] {
        reportEnded();
        reportSilence();
        return true;
      });
    });
  }

  void reportPcmWriteFailure() {
    const int error = pcmWriteError.load();
    // The host closed its end: leave silently, as on SIGPIPE (which a host may have ignored).
    if (error == EPIPE) return end(Ending::stopped());
    end(Ending::failure("could not write the audio: " + std::string(std::strerror(error))));
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
    switch (silence_.look(loop_.now(), callback_.soundCycles(), anyPlaying)) {
      case SilenceWatch::Verdict::nothing:
        return;
      case SilenceWatch::Verdict::sound:
        status({{"event", std::string("sound")}});
        return;
      case SilenceWatch::Verdict::silence: {
        StatusEvent event{{"event", std::string("silence")},
                          {"seconds", std::int64_t{services_.times.silence.count()}}};
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

  const RunServices& services_;
  RunLoop& loop_;
  const CaptureRequest request_;
  const Hearing hearing_;
  PcmOutput pcm_;
  CaptureCallback callback_;
  std::unique_ptr<Capture> capture_;  // after what it delivers to, so that it goes first
  // Loop:
  std::optional<Ending> ending_;
  bool waiting_ = false;
  bool running_ = false;
  std::vector<std::int32_t> playing_;  // who the capture hears play, as it said
  std::optional<std::vector<std::int32_t>> reportedPlaying_;
  std::vector<std::int32_t> ended_;  // listed pids reported as ended
  SilenceWatch silence_;
  bool silenceAdvised_ = false;  // the first "silence" has been written
};

RunControl::RunControl(RunServices services) : services_(std::move(services)) {}

RunControl::~RunControl() = default;

Ending RunControl::run(const std::vector<std::string>& args, std::int32_t parentPid,
                       const Backends& backends) {
  auto parsed = parseCommandLine(args);
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    return Ending::usageError(error->message);
  }
  run_ = std::make_unique<Run>(services_, std::get<CaptureRequest>(std::move(parsed)), parentPid);
  return run_->run(backends);
}

}  // namespace quenwick
