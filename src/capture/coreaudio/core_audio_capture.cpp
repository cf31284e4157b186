#include "capture/coreaudio/core_audio_capture.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "capture/coreaudio/aggregate_device.h"
#include "capture/coreaudio/buffer_list_cycle.h"
#include "capture/coreaudio/core_audio_words.h"
#include "capture/coreaudio/format_handover.h"
#include "capture/coreaudio/process_resolution.h"
#include "capture/coreaudio/tap.h"
#include "capture/coreaudio/tap_format.h"
#include "capture/coreaudio/uuid.h"

namespace quenwick {
namespace {

// A tap still in a device that is going may not go yet: its destruction is tried this often.
constexpr int kTapDestroyTries = 20;
constexpr std::chrono::milliseconds kTapDestroyWait{25};

// Runs a notification's work where Core Audio delivers it, without waiting for the main queue.
class OnTheSpot final : public DispatchQueue {
 public:
  void post(std::function<void()> job) override { job(); }
};

std::vector<AudioObjectID> sortedSet(std::vector<AudioObjectID> objects) {
  std::sort(objects.begin(), objects.end());
  objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
  return objects;
}

class CoreAudioCapture final : public Capture {
 public:
  explicit CoreAudioCapture(std::unique_ptr<AudioHardware> hardware)
      : hardware_(std::move(hardware)), clock_(hardware_->hostClock()) {}

  // A restart of the audio server takes every object and listener made with it, the process
  // list's too (and the process's settings): it is followed from the first moment, waiting or
  // running. Core Audio's process list is followed from before it is first read, so that a
  // process that connects in between is not missed.
  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    queue_ = &queue;
    events_ = &events;
    // A recorder must not keep a laptop awake: the running device would, unless allowed. Should
    // Core Audio refuse, the agent runs on.
    const std::uint32_t allowed = 1;
    hardware_->setPropertyData(kAudioObjectSystemObject,
                               globalAddress(kAudioHardwarePropertySleepingIsAllowed), 0, nullptr,
                               sizeof allowed, &allowed);
    hardware_->addPropertyListener(kAudioObjectSystemObject,
                                   globalAddress(kAudioHardwarePropertyServiceRestarted), queue,
                                   [this](std::uint32_t, const AudioObjectPropertyAddress*) {
                                     if (std::exchange(serverGone_, true)) return;
                                     events_->serverGone(kServerWentAway);  // may destroy this
                                   });
    hardware_->addPropertyListener(kAudioObjectSystemObject,
                                   globalAddress(kAudioHardwarePropertyProcessObjectList), queue,
                                   [this](std::uint32_t, const AudioObjectPropertyAddress*) {
                                     if (tapID_ != kAudioObjectUnknown) {
                                       followTheTargets();
                                       if (hearing_.followPlaying) followPlaying();
                                     }
                                     events_->processesChanged();  // may destroy this
                                   });
  }

  std::variant<Resolution, CaptureFailure> resolve(const Hearing& hearing) override {
    hearing_ = hearing;
    const ProcessObjects resolved = lookUp();
    // A server that cannot be reached has no processes to tell of, which is no answer about them;
    // nor is a call that failed.
    if (resolved.status == kAudioHardwareNotRunningError) {
      return failure(FailedStep::reachLayer, resolved.status);
    }
    if (resolved.status != kAudioHardwareNoError) {
      return failure(FailedStep::lookUp, resolved.status);
    }
    processes_ = resolved.objects;
    return hearing.global || !processes_.empty() ? Resolution::somethingToHear
                                                 : Resolution::nothingToHearYet;
  }

  // A process object may go stale between the look and the create (its process reconnected):
  // when the create fails and a fresh look finds other objects, it is tried once more with them.
  std::optional<CaptureFailure> create() override {
    OSStatus tapErr = createTap();
    if (tapErr != kAudioHardwareNoError && tapErr != kAudioHardwareNotRunningError) {
      const ProcessObjects fresh = lookUp();
      if (fresh.status == kAudioHardwareNoError &&
          sortedSet(fresh.objects) != sortedSet(processes_) &&
          (hearing_.global || !fresh.objects.empty())) {
        processes_ = fresh.objects;
        tapErr = createTap();
      }
    }
    if (tapErr != kAudioHardwareNoError) return failure(FailedStep::createTap, tapErr);

    const AggregateDeviceDescription aggregateDescription =
        makeAggregateDescription(makeRandomUuid(), description_);
    const OSStatus aggErr = hardware_->createAggregateDevice(aggregateDescription, &aggregateID_);
    if (aggErr != kAudioHardwareNoError) return failure(FailedStep::createDevice, aggErr);
    if (hearing_.followPlaying) followPlaying();
    return std::nullopt;
  }

  // The listeners are added before the format is first read, so that a change in between is
  // announced rather than missed. Both notifications re-read the tap's format where Core Audio
  // delivers them: the delivering thread converts in the new format from its next cycle, however
  // busy the main queue is. The tracker takes a change once, however many notifications announce
  // it.
  std::variant<StreamFormat, CaptureFailure> format() override {
    tracker_.emplace(*hardware_, tapID_, handover_);
    const auto refresh = [this](std::uint32_t, const AudioObjectPropertyAddress*) {
      if (const auto changed = tracker_->refreshFormat()) {
        queue_->post([this, format = streamFormatOf(*changed)] { events_->formatChanged(format); });
      }
    };
    hardware_->addPropertyListener(tapID_, globalAddress(kAudioTapPropertyFormat), onTheSpot_,
                                   refresh);
    hardware_->addPropertyListener(
        aggregateID_, globalAddress(kAudioDevicePropertyNominalSampleRate), onTheSpot_, refresh);
    if (const auto format = tracker_->readInitialFormat()) return streamFormatOf(*format);
    return failure(FailedStep::readFormat, kAudioHardwareNoError);
  }

  std::optional<CaptureFailure> start(CycleSink& sink) override {
    sink_ = &sink;
    procID_ = nullptr;
    const OSStatus ioErr = hardware_->createIOProcID(
        aggregateID_,
        [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* inputTime,
               AudioBufferList*, const AudioTimeStamp*) { deliver(input, inputTime); },
        &procID_);
    if (ioErr != kAudioHardwareNoError) return failure(FailedStep::attach, ioErr);
    // A device runs whether or not an IO proc is registered: without one, nothing is captured.
    if (procID_ == nullptr) return failure(FailedStep::attach, ioErr);
    if (const OSStatus started = hardware_->start(aggregateID_, procID_);
        started != kAudioHardwareNoError) {
      return failure(FailedStep::start, started);
    }
    return std::nullopt;
  }

  // At any point after opening, as often as asked: a device that may run is stopped once. On a
  // server that went away the stop fails, and nothing runs any more anyway.
  void halt() override {
    if (procID_ != nullptr && !std::exchange(halted_, true)) hardware_->stop(aggregateID_, procID_);
  }

  // Core Audio may change who plays, and stop telling of its processes while a tap exists, without
  // a word: both are read again.
  void lookAgain() override {
    if (tapID_ == kAudioObjectUnknown || serverGone_) return;
    followTheTargets();
    if (hearing_.followPlaying) followPlaying(true);
  }

  std::string silenceAdvice() const override { return coreAudioSilenceAdvice(refusedChange_); }

  // Whatever each call returns, the next one is made.
  void teardown() override {
    hardware_->stop(aggregateID_, procID_);
    halted_ = true;
    release();
  }

  // A capture given up on leaves its live server nothing of its own. What a server that went away
  // took is not touched: the new server may have given its ids to objects of other clients.
  ~CoreAudioCapture() override {
    if (!serverGone_) {
      halt();
      release();
    }
    hardware_.reset();  // no listener of this capture runs from here on
  }

 private:
  static CaptureFailure failure(FailedStep step, OSStatus status) {
    return {coreAudioFailureMessage(step, status)};
  }

  // The device before its tap. The device's destruction may end after its call returned, and
  // while it has not, its tap may refuse to go: the tap is tried again a little later.
  void release() {
    if (procID_ != nullptr) hardware_->destroyIOProcID(aggregateID_, procID_);
    const bool hadDevice = aggregateID_ != kAudioObjectUnknown;
    if (hadDevice) hardware_->destroyAggregateDevice(aggregateID_);
    if (tapID_ != kAudioObjectUnknown) {
      for (int tries = 1; hardware_->destroyProcessTap(tapID_) != kAudioHardwareNoError &&
                          hadDevice && tries < kTapDestroyTries;
           ++tries) {
        std::this_thread::sleep_for(kTapDestroyWait);
      }
    }
    procID_ = nullptr;
    aggregateID_ = tapID_ = kAudioObjectUnknown;
  }

  OSStatus createTap() {
    description_ = makeTapDescription(hearing_.global, processes_);
    AudioObjectID tapID = kAudioObjectUnknown;
    const OSStatus tapErr = hardware_->createProcessTap(description_, &tapID);
    tapID_ = tapErr == kAudioHardwareNoError ? tapID : kAudioObjectUnknown;
    return tapErr;
  }

  // The processes the tap names: those to hear, or in global mode those it leaves out.
  ProcessObjects lookUp() {
    const auto& named = hearing_.global ? hearing_.leftOut : hearing_.listed;
    return hearing_.targets.tree ? coveredProcessObjects(*hardware_, hearing_.targets)
                                 : resolvePids(*hardware_, named, hearing_.targets);
  }

  // The delivering thread: the cycle in the format last taken, at its host time in nanoseconds.
  void deliver(const AudioBufferList* input, const AudioTimeStamp* inputTime) noexcept {
    handover_.takeNewer(generation_, format_);
    if (generation_ == 0) return;  // no format whole yet: nothing to decode
    CapturedCycle cycle = cycleOfList(input, format_, planes_);
    cycle.formatGeneration = generation_;
    if (inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampHostTimeValid) != 0) {
      cycle.timeNs = static_cast<std::uint64_t>(
          static_cast<unsigned __int128>(inputTime->mHostTime) * clock_.numer / clock_.denom);
    }
    sink_->deliver(cycle);
  }

  // Main queue: the objects whose sound the tap takes now. Processes mode: those it was given;
  // global mode: every object Core Audio lists but those it leaves out.
  std::vector<AudioObjectID> heardObjects() {
    if (!hearing_.global) return description_.processes;
    ProcessObjects listed = processList(*hardware_);
    std::erase_if(listed.objects, [&](AudioObjectID object) {
      return std::find(description_.processes.begin(), description_.processes.end(), object) !=
             description_.processes.end();
    });
    return listed.objects;
  }

  // Main queue: follows whether each heard process plays, with a listener on each one's output
  // state (which Core Audio may never notify: with `reread`, each known one is read again), and
  // tells who plays when that changes.
  void followPlaying(bool reread = false) {
    std::vector<std::int32_t> playing;
    for (const AudioObjectID object : heardObjects()) {
      auto known = outputRunning_.find(object);
      if (known != outputRunning_.end() && reread) {
        known->second.running = readsRunningOutput(object);
      } else if (known == outputRunning_.end()) {
        known =
            outputRunning_.emplace(object, RunningOutput{pidOf(*hardware_, object), false}).first;
        hardware_->addPropertyListener(
            object, globalAddress(kAudioProcessPropertyIsRunningOutput), *queue_,
            [this, object](std::uint32_t, const AudioObjectPropertyAddress*) {
              outputRunning_[object].running = readsRunningOutput(object);
              followPlaying();
            });
        known->second.running = readsRunningOutput(object);
      }
      if (known->second.running && known->second.pid) playing.push_back(*known->second.pid);
    }
    std::sort(playing.begin(), playing.end());
    playing.erase(std::unique(playing.begin(), playing.end()), playing.end());
    if (toldPlaying_ && *toldPlaying_ == playing) return;
    toldPlaying_ = playing;
    queue_->post([this, playing = std::move(playing)] { events_->playingChanged(playing); });
  }

  bool readsRunningOutput(AudioObjectID object) {
    std::uint32_t running = 0;
    std::uint32_t size = sizeof running;
    return hardware_->getPropertyData(object, globalAddress(kAudioProcessPropertyIsRunningOutput),
                                      0, nullptr, &size, &running) == kAudioHardwareNoError &&
           running != 0;
  }

  // Main queue: gives the tap the objects of the processes its targets cover now, if they
  // changed, by writing its description. Apple's header does not say what a mixdown of no
  // process hears (nothing, or everything): one whose processes all left keeps their objects,
  // which play nothing any more. Core Audio may refuse the change ('!hog' is reported without the
  // permission to record): the advice says so, and a whole-system tap that would hear a process
  // it must leave out ends the capture rather than record it.
  void followTheTargets() {
    ProcessObjects now = coveredProcessObjects(*hardware_, hearing_.targets);
    if (now.status != kAudioHardwareNoError) return;
    if (!hearing_.global && now.objects.empty()) return;
    if (sortedSet(now.objects) == sortedSet(description_.processes)) return;
    TapDescription next = description_;
    next.processes = std::move(now.objects);
    const TapDescription* data = &next;
    const OSStatus written = hardware_->setPropertyData(
        tapID_, globalAddress(kAudioTapPropertyDescription), 0, nullptr, sizeof data, &data);
    if (written == kAudioHardwareNoError) {
      description_ = std::move(next);
      return;
    }
    refusedChange_ = written;
    const bool leavesOutMore =
        std::any_of(next.processes.begin(), next.processes.end(), [&](AudioObjectID object) {
          return std::find(description_.processes.begin(), description_.processes.end(), object) ==
                 description_.processes.end();
        });
    if (hearing_.global && leavesOutMore && !std::exchange(endingCapture_, true)) {
      queue_->post([this, reason = coreAudioFailureMessage(FailedStep::leaveOut, written)] {
        events_->serverGone(reason);  // may destroy this
      });
    }
  }

  std::unique_ptr<AudioHardware> hardware_;
  const HostClock clock_;
  DispatchQueue* queue_ = nullptr;
  CaptureEvents* events_ = nullptr;
  OnTheSpot onTheSpot_;
  Hearing hearing_;
  std::vector<AudioObjectID> processes_;  // what the last resolve found
  TapDescription description_;            // main queue, once the tap exists
  struct RunningOutput {
    std::optional<std::int32_t> pid;
    bool running = false;
  };
  std::map<AudioObjectID, RunningOutput> outputRunning_;  // main queue: each object listened to
  std::optional<std::vector<std::int32_t>> toldPlaying_;  // main queue
  AudioObjectID tapID_ = kAudioObjectUnknown;
  AudioObjectID aggregateID_ = kAudioObjectUnknown;
  AudioDeviceIOProcID procID_ = nullptr;
  bool halted_ = false;
  bool serverGone_ = false;     // main queue: the server restarted, and took all that was made
  bool endingCapture_ = false;  // main queue: a process to leave out could not be
  std::optional<OSStatus> refusedChange_;  // main queue: Core Audio's last refusal of a change
  FormatHandover handover_;
  std::optional<TapFormatTracker> tracker_;
  CycleSink* sink_ = nullptr;
  std::uint64_t generation_ = 0;          // delivering thread
  AudioStreamBasicDescription format_{};  // delivering thread
  PlaneRoom planes_{};                    // delivering thread
};

}  // namespace

Backend coreAudioBackend(std::function<std::unique_ptr<AudioHardware>()> makeHardware) {
  return {
      "coreaudio",
      [makeHardware = std::move(makeHardware)]() -> std::variant<OpenedCapture, CaptureFailure> {
        return OpenedCapture{std::make_unique<CoreAudioCapture>(makeHardware())};
      }};
}

}  // namespace quenwick
