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
#include "app/outage.h"
#include "app/silence_watch.h"
#include "convert/capture_callback.h"

namespace quenwick {
namespace {

// The PCM stream's first failed write, noticed where the write happens (perhaps the delivering
// thread) and reported from the loop: the output hears of it through a plain function.
std::atomic<int> pcmWriteError{0};
std::atomic<RunLoop*> pcmFailureLoop{nullptr};
std::atomic<int> pcmFailureAlarm{-1};
std::atomic<int> parentGoneAlarm{-1};

void onPcmWriteFailure(int error) noexcept {
  pcmWriteError.store(error);
  if (RunLoop* loop = pcmFailureLoop.load()) loop->raiseAlarm(pcmFailureAlarm.load());
}

// The parent watch's thread: the run ends on the loop, where what it made can go.
void onParentGone() noexcept {
  if (RunLoop* loop = pcmFailureLoop.load()) loop->raiseAlarm(parentGoneAlarm.load());
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

// One capture's way to run control: its events on the loop, for as long as run control keeps
// that capture. A capture given up on (its server went away) may still post what it had to say,
// or hold on to this queue on one of its threads: nothing of it is run any more.
class CaptureLink final : public DispatchQueue {
 public:
  explicit CaptureLink(DispatchQueue& loop) : loop_(loop) {}

  void post(std::function<void()> job) override {
    loop_.post([current = current_, job = std::move(job)] {
      if (current->load()) job();
    });
  }

  void giveUp() { current_->store(false); }

 private:
  DispatchQueue& loop_;
  std::shared_ptr<std::atomic<bool>> current_ = std::make_shared<std::atomic<bool>>(true);
};

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
    parentGoneAlarm.store(loop_.addAlarm([this] { end(Ending::parentExited()); }));
    askFirstWhenParentGone(onParentGone);
    if (auto failure = commitToABackend(backends)) return Ending::failure(failure->message);
    listen();
    start();
    if (!ending_ && !loop_.run()) return couldNotRun(errno);
    // Whichever way the run ends here, what the capture made goes with it (SIGTERM's wind-up
    // tears down in its own order).
    if (!ending_->windUp) ending_->windUp = [this] { letGo(); };
    return std::move(*ending_);
  }

  void processesChanged() override {
    if (!waiting_ || !capture_) return;
    if (const auto resolution = lookAtTheProcesses(); resolution == Resolution::somethingToHear) {
      waiting_ = false;
      startCapture();
    }
  }

  void formatChanged(const StreamFormat& format) override { tellFormat(format, true); }

  void playingChanged(std::vector<std::int32_t> pids) override {
    playing_ = std::move(pids);
    if (running_) reportPlaying();
  }

  // The audio server took every audio object with it (or the capture can no longer hear what it
  // must): the sound already captured goes out, and the host hears why the agent ends; or, with
  // --recover, that it is interrupted.
  void serverGone(std::string reason) override {
    if (!request_.recover) {
      capture_->halt();
      pcm_.drain(services_.times.lastPcm);
      return end(Ending::failure(std::move(reason)));
    }
    if (!outage_) {
      outage_.emplace(loop_.now());
      status({{"event", std::string("interrupted")}, {"reason", std::move(reason)}});
      playing_.clear();
      if (running_) reportPlaying();
      // The stream goes on in time: silence for as long as no server is there.
      if (streaming_) {
        loop_.repeat(kGapFill, [this] {
          if (outage_) callback_.fillGap(outage_->silenceOwed(loop_.now()));
          return outage_.has_value();
        });
      }
    }
    letGo();
    tryAgainLater();
  }

 private:
  // How often the silence of an outage goes out: the host hears it at most this late.
  static constexpr std::chrono::milliseconds kGapFill{250};
  // How often a running capture looks again at what its layer may not announce.
  static constexpr std::chrono::milliseconds kLookAgain{1000};

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
    for (const Backend& backend : backends) {
      auto opened = backend.open();
      if (auto* capture = std::get_if<OpenedCapture>(&opened)) {
        if (backend_ != nullptr && !capture->carriesAudio) continue;
        backend_ = &backend;
        capture_ = std::move(capture->capture);
        if (capture->carriesAudio) break;
      } else if (!first) {
        first = std::get<CaptureFailure>(std::move(opened));
      }
    }
    if (backend_ == nullptr) {
      return first.value_or(CaptureFailure{"no audio backend is built into this agent"});
    }
    if (request_.report) status({{"event", std::string("backend")}, {"name", backend_->name}});
    return std::nullopt;
  }

  // The capture's events reach this run through a link of its own, which outlives it.
  void listen() {
    links_.push_back(std::make_unique<CaptureLink>(loop_));
    capture_->listen(*links_.back(), *this);
  }

  // Lets go of a capture whose server went away, or that a server that came back refused.
  void letGo() {
    if (!capture_) return;
    links_.back()->giveUp();
    capture_->halt();
    capture_.reset();
    streamingNow_ = false;
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
      if (waiting_ && !streaming_ && !hearing_.targets.anyAlive()) {
        end(nothingToHear(hearing_.targets));
      }
      return waiting_ && !streaming_ && !ending_;
    });
  }

  // With --recover, once the server is gone: the same backend again, at once, then at growing
  // intervals, for as long as the run lasts.
  void tryAgainLater() {
    const auto wait = outage_->nextWait();
    if (wait.count() == 0) return loop_.post([this] { tryAgain(); });
    loop_.repeat(wait, [this] {
      tryAgain();
      return false;
    });
  }

  void tryAgain() {
    if (ending_ || capture_) return;
    auto opened = backend_->open();
    if (std::holds_alternative<CaptureFailure>(opened)) {
      outage_->unanswered();
      return tryAgainLater();
    }
    capture_ = std::move(std::get<OpenedCapture>(opened).capture);
    listen();
    const auto resolution = lookAtTheProcesses();
    if (!resolution) return;
    // A run that waited is back where it was once it can look at the processes again; one that
    // captured, once it captures again.
    if (!streaming_) resumed();
    if (*resolution == Resolution::somethingToHear) return startCapture();
    waiting_ = true;
  }

  // A step refused: the run's end at start-up; with --recover, while a server that came back
  // answers, one more try, until the refusals have lasted too long.
  void refused(const CaptureFailure& failure) {
    if (!outage_ || outage_->refusedFor(services_.times.refusals, loop_.now())) {
      return end(Ending::failure(failure.message));
    }
    letGo();
    tryAgainLater();
  }

  void resumed() {
    outage_.reset();
    status({{"event", std::string("resumed")}});
  }

  std::optional<Resolution> lookAtTheProcesses() {
    auto resolution = capture_->resolve(hearing_);
    if (const auto* failure = std::get_if<CaptureFailure>(&resolution)) {
      refused(*failure);
      return std::nullopt;
    }
    return std::get<Resolution>(resolution);
  }

  // From "creating_tap" to "running"; after an outage, from the new server's capture to
  // "resumed".
  void startCapture() {
    waiting_ = false;
    // The outage ends where the new capture begins: what a backend keeps from create() on is
    // delivered at start(), after the silence.
    if (outage_ && streaming_) callback_.fillGap(outage_->silenceOwed(loop_.now()));
    if (!streaming_) status({{"event", std::string("creating_tap")}});
    if (const auto failure = capture_->create()) return refused(*failure);
    const auto format = capture_->format();
    if (const auto* failure = std::get_if<CaptureFailure>(&format)) return refused(*failure);
    if (!streaming_) {
      told_ = std::get<StreamFormat>(format);
      status(formatEvent(request_, *told_));
    }
    if (const auto failure = capture_->start(callback_)) return refused(*failure);
    streamingNow_ = true;
    if (streaming_) {
      resumed();
      return tellFormat(std::get<StreamFormat>(format), false);
    }
    streaming_ = true;
    outage_.reset();
    // Armed before the host hears "running", as a host may stop the agent the moment it does.
    // The teardown is the ending's wind-up: only a stop that wins the way out tears down.
    services_.armStop([this] {
      end(Ending::stopped([this] {
        if (streamingNow_) capture_->teardown();
        pcm_.drain(services_.times.lastPcm);
      }));
    });
    status({{"event", std::string("running")}});
    loop_.repeat(kLookAgain, [this] {
      if (capture_ && streamingNow_) capture_->lookAgain();
      return !ending_;
    });
    if (!request_.report) return;
    // Queued behind what the capture has told of its start, so that the first word is the news.
    loop_.post([this] {
      running_ = true;
      reportPlaying();
      slept_ = services_.timeSlept();
      loop_.repeat(services_.times.report, [this] {
        reportSleep();
        reportEnded();
        reportSilence();
        return true;
      });
    });
  }

  // A "format" event for a change of what the capture delivers, once per change; with `always`,
  // also one that the host has already been told of.
  void tellFormat(const StreamFormat& format, bool always) {
    const bool same =
        told_ && told_->sampleRate == format.sampleRate && told_->channels == format.channels;
    told_ = format;
    if (same && !always) return;
    StatusEvent event = formatEvent(request_, format);
    event.emplace_back("changed", true);
    status(event);
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

  // A sleep of the machine, told once it is awake again.
  void reportSleep() {
    const auto slept = services_.timeSlept();
    const auto more = slept - slept_;
    slept_ = slept;
    if (more < std::chrono::seconds(1)) return;
    const auto seconds = std::chrono::round<std::chrono::seconds>(more);
    status({{"event", std::string("slept")}, {"seconds", std::int64_t{seconds.count()}}});
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
  const Backend* backend_ = nullptr;                 // the one committed to
  std::vector<std::unique_ptr<CaptureLink>> links_;  // one per capture made, the last current
  std::unique_ptr<Capture> capture_;  // after what it delivers to, so that it goes first
  // Loop:
  std::optional<Ending> ending_;
  bool waiting_ = false;
  bool streaming_ = false;            // PCM has flowed since "running"
  bool streamingNow_ = false;         // the current capture delivers
  bool running_ = false;              // "running" told, with --report
  std::optional<StreamFormat> told_;  // the format the host was last told of
  std::optional<Outage> outage_;      // --recover: the server is gone, or refuses
  std::chrono::nanoseconds slept_{0};
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
