#include "capture/loopback/loopback_capture.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "capture/loopback/activation.h"
#include "capture/loopback/capture_loop.h"
#include "capture/loopback/loopback_words.h"
#include "capture/loopback/session_watch.h"
#include "capture/mixing/stereo_cycle.h"

namespace quenwick::loopback {
namespace {

constexpr auto kFail = static_cast<HRESULT>(0x80004005);  // E_FAIL
constexpr REFERENCE_TIME kUnitsPerSecond = 10'000'000;
// The engine's usual period, when the endpoint does not say.
constexpr REFERENCE_TIME kUsualPeriod = kUnitsPerSecond / 100;

// One loopback client: the target it hears, and how.
struct Stream {
  DWORD pid = 0;
  PROCESS_LOOPBACK_MODE mode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<AudioCaptureClient> capture;
};

// The event every client sets, closed once they are gone.
class OwnedEvent {
 public:
  explicit OwnedEvent(WindowsAudio& audio) : audio_(audio) {}
  ~OwnedEvent() {
    if (handle_ != nullptr) audio_.closeHandle(handle_);
  }
  OwnedEvent(const OwnedEvent&) = delete;
  OwnedEvent& operator=(const OwnedEvent&) = delete;
  EventHandle make() { return handle_ = audio_.createEvent(); }
  EventHandle get() const { return handle_; }

 private:
  WindowsAudio& audio_;
  EventHandle handle_ = nullptr;
};

// Nothing outlives it but the jobs it posted, which hold only what outlives it too (the events,
// the audio stack): a capture given up on may be destroyed at any point after it was made.
class LoopbackCapture final : public Capture {
 public:
  explicit LoopbackCapture(std::shared_ptr<WindowsAudio> audio)
      : audio_(std::move(audio)), sessions_(*audio_), event_(*audio_) {}

  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    queue_ = &queue;
    events_ = &events;
    sessions_.listen(queue, [this] {
      if (following_) followPlaying();
      events_->processesChanged();
    });
  }

  // Processes mode has something to hear once a process the targets cover has a session on a
  // render endpoint; its client hears it from then on, as it exists from the start.
  std::variant<Resolution, CaptureFailure> resolve(const Hearing& hearing) override {
    hearing_ = hearing;
    if (!succeeded(sessions_.failure())) {
      return failure(FailedStep::reachService, sessions_.failure());
    }
    if (hearing.global) return Resolution::somethingToHear;
    const std::vector<DWORD> pids = sessions_.sessionPids();
    return std::any_of(
               pids.begin(), pids.end(),
               [&](DWORD pid) { return hearing.targets.covers(static_cast<std::int32_t>(pid)); })
               ? Resolution::somethingToHear
               : Resolution::nothingToHearYet;
  }

  std::optional<CaptureFailure> create() override {
    if (hearing_.global) {
      if (const auto outside = excludedOutsideTheParentsTree()) {
        return CaptureFailure{exclusionLimitMessage(*outside)};
      }
      streams_.push_back({parentPid(), PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, {}, {}});
    } else {
      for (const TargetProcess& target : hearing_.targets.processes) {
        const auto pid = static_cast<DWORD>(target.pid);
        if (!insideAnotherTargetsTree(target) &&
            std::none_of(streams_.begin(), streams_.end(),
                         [&](const Stream& stream) { return stream.pid == pid; })) {
          streams_.push_back({pid, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, {}, {}});
        }
      }
    }
    // Activated first: where there is no process loopback (before build 20348, Wine), that is
    // what the user hears of, whatever else is missing. A target is activated by its bare pid,
    // so one that has ended is left out before, and after a failure, lest its pid's next owner
    // be heard or its end be told as a missing platform.
    for (Stream& stream : streams_) {
      if (!stillTheTarget(stream.pid)) continue;
      Activated activated = activateProcessLoopback(*audio_, stream.pid, stream.mode);
      if (!succeeded(activated.status) && stillTheTarget(stream.pid)) {
        return failure(FailedStep::activate, activated.status);
      }
      stream.client = std::move(activated.client);
    }
    std::erase_if(streams_, [](const Stream& stream) { return stream.client == nullptr; });
    if (auto failed = readTheEngine()) return failed;
    if (event_.make() == nullptr) return failure(FailedStep::setUp, kFail);
    for (Stream& stream : streams_) {
      if (auto failed = initializeClient(stream)) return failed;
    }
    if (hearing_.followPlaying) {
      following_ = true;
      sessions_.followStates();
      followPlaying();
    }
    return std::nullopt;
  }

  // Loopback clients have no mix format to offer: they deliver what Initialize asked for, and
  // that never changes.
  std::variant<StreamFormat, CaptureFailure> format() override { return stereoFormat(rate_); }

  std::optional<CaptureFailure> start(CycleSink& sink) override {
    std::vector<AudioCaptureClient*> clients;
    for (const Stream& stream : streams_) clients.push_back(stream.capture.get());
    loop_.emplace(*audio_, std::move(clients), event_.get(), rate_, periodFrames_);
    const HRESULT joined = loop_->start(sink, [this](HRESULT failed) {
      queue_->post([events = events_, audio = audio_, failed] {
        events->serverGone(endedCaptureMessage(failed, audio->formatMessage(failed)));
      });
    });
    if (!succeeded(joined)) return failure(FailedStep::setUp, joined);
    for (const Stream& stream : streams_) {
      if (const HRESULT started = stream.client->start(); !succeeded(started)) {
        return failure(FailedStep::start, started);
      }
    }
    return std::nullopt;
  }

  void halt() override {
    if (loop_) loop_->stop();
  }

  // Stopped, then released: the clients are all there is to undo.
  void teardown() override {
    halt();
    for (const Stream& stream : streams_) {
      if (stream.client) stream.client->stop();
    }
    streams_.clear();
  }

  // Some render streams never reach process loopback: it hears zeros while they play.
  std::string silenceAdvice() const override { return loopbackSilenceAdvice(); }

 private:
  CaptureFailure failure(FailedStep step, HRESULT code) const {
    return {loopbackFailureMessage(step, code, audio_->formatMessage(code))};
  }

  // Global mode only: those left out are --exclude-self's, then the agent's parent.
  DWORD parentPid() const { return static_cast<DWORD>(hearing_.leftOut.back()); }

  std::optional<TargetProcess> target(std::int32_t pid) const {
    for (const TargetProcess& process : hearing_.targets.processes) {
      if (process.pid == pid) return process;
    }
    return std::nullopt;
  }

  // Processes mode: a listed target inside another's tree, which that one's client hears already
  // (the platform hears a target with its tree): a second client would hear it twice.
  bool insideAnotherTargetsTree(const TargetProcess& process) const {
    return std::any_of(
        hearing_.targets.processes.begin(), hearing_.targets.processes.end(),
        [&](const TargetProcess& other) {
          return other.pid != process.pid && ProcessTargets{{other}, true}.covers(process.pid);
        });
  }

  // Whether the pid still belongs to the process it was listed as. The parent, left out in
  // global mode, is followed by the parent watch instead.
  bool stillTheTarget(DWORD pid) const {
    if (hearing_.global) return true;
    const auto process = target(static_cast<std::int32_t>(pid));
    return process && ProcessTargets::alive(*process);
  }

  // An --exclude-self that lives outside the parent's tree, which is all Windows can leave out.
  std::optional<std::int32_t> excludedOutsideTheParentsTree() const {
    const auto parent = target(static_cast<std::int32_t>(parentPid()));
    if (!parent) return std::nullopt;  // gone: the parent watch ends the agent
    const ProcessTargets parentsTree{{*parent}, true};
    for (const std::int32_t pid : hearing_.leftOut) {
      if (target(pid) && !parentsTree.covers(pid)) return pid;
    }
    return std::nullopt;
  }

  // The default render endpoint's mix rate, at which every client is asked to deliver, and its
  // period, by which they are mixed.
  std::optional<CaptureFailure> readTheEngine() {
    std::unique_ptr<Device> endpoint;
    std::unique_ptr<AudioClient> client;
    WaveFormat mix;
    HRESULT read =
        sessions_.devices().getDefaultAudioEndpoint(DataFlow::render, Role::console, &endpoint);
    if (succeeded(read)) read = endpoint->activateAudioClient(&client);
    if (succeeded(read)) read = client->getMixFormat(&mix);
    if (succeeded(read) && mix.nSamplesPerSec == 0) read = kFail;
    if (!succeeded(read)) return failure(FailedStep::readDefaultFormat, read);
    rate_ = mix.nSamplesPerSec;
    REFERENCE_TIME period = 0;
    REFERENCE_TIME shortest = 0;
    if (!succeeded(client->getDevicePeriod(&period, &shortest)) || period <= 0) {
      period = kUsualPeriod;
    }
    periodFrames_ = static_cast<std::uint32_t>(
        std::max<REFERENCE_TIME>(1, (rate_ * period + kUnitsPerSecond / 2) / kUnitsPerSecond));
    return std::nullopt;
  }

  std::optional<CaptureFailure> initializeClient(Stream& stream) {
    WaveFormat format;
    format.wFormatTag = kWaveFormatIeeeFloat;
    format.nChannels = 2;
    format.nSamplesPerSec = rate_;
    format.wBitsPerSample = 32;
    format.nBlockAlign = 2 * sizeof(float);
    format.nAvgBytesPerSec = rate_ * format.nBlockAlign;
    // The engine's converter at the quality meant for sound that people hear; a shared-mode
    // event-driven stream leaves the buffer's size and period to the engine (both 0).
    const HRESULT initialized =
        stream.client->initialize(ShareMode::shared,
                                  kStreamFlagsLoopback | kStreamFlagsEventCallback |
                                      kStreamFlagsAutoConvertPcm | kStreamFlagsSrcDefaultQuality,
                                  0, 0, format);
    if (!succeeded(initialized)) return failure(FailedStep::initialize, initialized);
    HRESULT set = stream.client->setEventHandle(event_.get());
    if (succeeded(set)) set = stream.client->getService(&stream.capture);
    if (succeeded(set) && stream.capture == nullptr) set = kFail;
    if (!succeeded(set)) return failure(FailedStep::setUp, set);
    return std::nullopt;
  }

  // Main queue: who plays that the clients hear. Processes mode: a listed process or one of its
  // tree, since the platform hears the tree; global mode: anyone outside the parent's tree.
  void followPlaying() {
    std::vector<TargetProcess> roots = hearing_.targets.processes;
    if (hearing_.global) {
      const auto parent = target(static_cast<std::int32_t>(parentPid()));
      roots = parent ? std::vector<TargetProcess>{*parent} : std::vector<TargetProcess>{};
    }
    const ProcessTargets trees{roots, true};
    std::vector<std::int32_t> playing;
    for (const DWORD pid : sessions_.activePids()) {
      const auto process = static_cast<std::int32_t>(pid);
      if (pid != 0 && trees.covers(process) != hearing_.global) playing.push_back(process);
    }
    if (toldPlaying_ && *toldPlaying_ == playing) return;
    toldPlaying_ = playing;
    queue_->post(
        [events = events_, playing = std::move(playing)] { events->playingChanged(playing); });
  }

  // Undone from the last to the first: the thread, the clients, their event, the sessions'
  // registrations, and the audio stack last.
  const std::shared_ptr<WindowsAudio> audio_;
  SessionWatch sessions_;
  DispatchQueue* queue_ = nullptr;
  CaptureEvents* events_ = nullptr;
  Hearing hearing_;
  OwnedEvent event_;
  std::vector<Stream> streams_;
  std::uint32_t rate_ = 0;
  std::uint32_t periodFrames_ = 0;
  bool following_ = false;
  std::optional<std::vector<std::int32_t>> toldPlaying_;
  std::optional<CaptureLoop> loop_;
};

}  // namespace

Backend loopbackBackend(std::function<std::shared_ptr<WindowsAudio>()> makeAudio) {
  return {"loopback",
          [makeAudio = std::move(makeAudio)]() -> std::variant<OpenedCapture, CaptureFailure> {
            return OpenedCapture{std::make_unique<LoopbackCapture>(makeAudio())};
          }};
}

}  // namespace quenwick::loopback
