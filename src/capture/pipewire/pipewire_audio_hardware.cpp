#include "capture/pipewire/pipewire_audio_hardware.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/pipewire/capture_channel.h"
#include "capture/pipewire/capture_node.h"
#include "capture/pipewire/link_plan.h"
#include "capture/pipewire/pipewire_connection.h"
#include "capture/pipewire/pipewire_status.h"
#include "capture/pipewire/process_match.h"

namespace quenwick {
namespace {

using namespace std::chrono_literals;
using namespace pipewire;

// Every wait on the server is bounded: a server that does not answer makes a call fail, never
// hang. Teardown waits are short, as the agent exits right after them.
constexpr auto kConnectTimeout = 3000ms;
constexpr auto kNodeTimeout = 3000ms;
constexpr auto kFormatTimeout = 3000ms;
constexpr auto kTeardownTimeout = 500ms;
constexpr auto kIoStopTimeout = 500ms;

constexpr std::string_view kServerAdvice =
    ". Check that PipeWire is running and that XDG_RUNTIME_DIR is this session's.";

// A failed connection in PipeWire's words: its errno, and what that means from PipeWire.
std::string connectionFailure(int error) {
  std::string meaning;
  switch (error) {
    case EHOSTDOWN:  // what PipeWire gives when no socket it tries takes the connection
      meaning = "no server answers on this session's socket";
      break;
    case ETIMEDOUT:
      meaning = "the server did not answer";
      break;
    case EPIPE:
      meaning = "the server closed the connection";
      break;
    default:
      return "could not connect to PipeWire: " + std::string(std::strerror(error)) +
             std::string(kServerAdvice);
  }
  return "could not connect to PipeWire: " + meaning + " (" + std::strerror(error) + ")" +
         std::string(kServerAdvice);
}

class PipeWireAudioHardware final : public AudioHardware {
 public:
  ~PipeWireAudioHardware() override {
    if (tap_) destroyProcessTap(tap_->id);
  }

  // Cycles are stamped with the driver's clock: CLOCK_MONOTONIC nanoseconds.
  HostClock hostClock() const override { return {}; }

  // What PipeWire said, rather than a status code made up for it.
  std::string failureMessage(FailedStep step, OSStatus) const override {
    if (!connectionFailure_.empty()) return connectionFailure_;
    if (connection_ && connection_->broken()) return connectionFailure(EPIPE);
    const std::string within = " within " + std::to_string(kNodeTimeout.count()) + " ms";
    switch (step) {
      case FailedStep::reachLayer:
      case FailedStep::createTap:
      case FailedStep::createDevice:
        return "could not create the capture node in PipeWire: it was not made" + within;
      case FailedStep::readFormat:
        return "could not read the graph's rate from PipeWire: none came" + within;
      case FailedStep::attach:
      case FailedStep::start:
        break;
    }
    return "could not start capture in PipeWire: the capture node failed";
  }

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierDataSize, const void* qualifierData,
                           std::uint32_t* ioDataSize, void* outData) override {
    if (address.mSelector == kAudioHardwarePropertyTranslatePIDToProcessObject &&
        object == kAudioObjectSystemObject) {
      if (qualifierDataSize < sizeof(std::int32_t) || qualifierData == nullptr ||
          ioDataSize == nullptr || *ioDataSize < sizeof(AudioObjectID) || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
      }
      std::int32_t pid = 0;
      std::memcpy(&pid, qualifierData, sizeof pid);
      AudioObjectID found = kAudioObjectUnknown;
      if (OSStatus status = processObjectFor(pid, found); status != kAudioHardwareNoError) {
        return status;
      }
      std::memcpy(outData, &found, sizeof found);
      *ioDataSize = sizeof found;
      return kAudioHardwareNoError;
    }
    if (address.mSelector == kAudioHardwarePropertyProcessObjectList &&
        object == kAudioObjectSystemObject) {
      if (ioDataSize == nullptr || outData == nullptr) return kAudioHardwareBadPropertySizeError;
      std::vector<AudioObjectID> objects;
      if (OSStatus status = audioProcessObjects(objects); status != kAudioHardwareNoError) {
        return status;
      }
      const std::size_t fit =
          std::min<std::size_t>(objects.size(), *ioDataSize / sizeof objects[0]);
      std::copy_n(objects.begin(), fit, static_cast<AudioObjectID*>(outData));
      *ioDataSize = static_cast<std::uint32_t>(fit * sizeof objects[0]);
      return kAudioHardwareNoError;
    }
    if (address.mSelector == kAudioProcessPropertyPID) {
      const TargetProcess* process = processOf(object);
      if (process == nullptr) return kAudioHardwareBadObjectError;
      if (ioDataSize == nullptr || *ioDataSize < sizeof process->pid || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
      }
      std::memcpy(outData, &process->pid, sizeof process->pid);
      *ioDataSize = sizeof process->pid;
      return kAudioHardwareNoError;
    }
    if (address.mSelector == kAudioTapPropertyFormat && tap_ && object == tap_->id) {
      if (ioDataSize == nullptr || *ioDataSize < sizeof(AudioStreamBasicDescription) ||
          outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
      }
      auto format = currentFormat();
      if (!format)
        return connection_->broken() ? kAudioHardwareNotRunningError
                                     : kAudioHardwareUnspecifiedError;
      const AudioStreamBasicDescription asbd = tapFormatAt(format->rate);
      std::memcpy(outData, &asbd, sizeof asbd);
      *ioDataSize = sizeof asbd;
      return kAudioHardwareNoError;
    }
    if (address.mSelector == kAudioDevicePropertyNominalSampleRate && deviceId_ != 0 &&
        object == deviceId_) {
      if (ioDataSize == nullptr || *ioDataSize < sizeof(double) || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
      }
      auto format = currentFormat();
      if (!format) return kAudioHardwareUnspecifiedError;
      const double rate = format->rate;
      std::memcpy(outData, &rate, sizeof rate);
      *ioDataSize = sizeof rate;
      return kAudioHardwareNoError;
    }
    return knownObject(object) ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;
  }

  // A new description for the tap: the processes it hears, or leaves out, from now on.
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t, const void*, std::uint32_t dataSize,
                           const void* data) override {
    if (!tap_ || object != tap_->id || address.mSelector != kAudioTapPropertyDescription) {
      return knownObject(object) ? kAudioHardwareUnknownPropertyError
                                 : kAudioHardwareBadObjectError;
    }
    if (dataSize != sizeof(const TapDescription*) || data == nullptr) {
      return kAudioHardwareBadPropertySizeError;
    }
    const auto& description = **static_cast<const TapDescription* const*>(data);
    auto processes = processesIn(description);
    if (!processes) return kAudioHardwareBadObjectError;
    LoopLock lock(connection_->loop());
    connection_->graph().setProcesses(std::move(*processes));
    return kAudioHardwareNoError;
  }

  OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID) override {
    if (outTapID == nullptr) return kAudioHardwareIllegalOperationError;
    if (tap_) return kAudioHardwareIllegalOperationError;  // one tap per agent
    if (OSStatus status = connect(); status != kAudioHardwareNoError) return status;

    LinkRule rule;
    rule.everyProcessExceptListed =
        description.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    auto processes = processesIn(description);
    if (!processes) return kAudioHardwareBadObjectError;
    rule.processes = std::move(*processes);
    const auto self = systemProcesses().process(static_cast<std::int32_t>(getpid()));
    if (self) rule.self = {self->pid, self->startTime};
    // A global tap leaves out what its owner asks: a process the owner has not seen in a list
    // yet waits until it has, as long as someone follows the list.
    if (rule.everyProcessExceptListed && followed()) rule.confirmedList = listSeen_;

    auto tap = std::make_unique<Tap>();
    tap->id = nextObjectId_++;
    tap->uuid = description.uuid;

    LoopLock lock(connection_->loop());
    tap->node = std::make_unique<CaptureNode>(
        connection_->core(), pw_thread_loop_get_loop(connection_->loop()), *tap->channel,
        CaptureNode::Events{[this] { connection_->wake(); },
                            [this](const NegotiatedFormat& format) { formatNegotiated(format); }});
    const bool ready = tap->node->connect() >= 0 && connection_->waitFor(kNodeTimeout, [&] {
      return tap->node->failed() || tap->node->nodeId() != kNoObject;
    }) && !tap->node->failed();
    if (!ready) {
      OSStatus status =
          connection_->broken() ? kAudioHardwareNotRunningError : kAudioHardwareUnspecifiedError;
      tap->node.reset();
      return status;
    }
    rule.captureNodeId = tap->node->nodeId();
    // A format negotiated before now is the device's starting rate, not a change of it.
    if (auto format = tap->node->format()) tap->announcedRate = format->rate;
    tap_ = std::move(tap);
    connection_->graph().setRule(std::move(rule), [node = tap_->node.get()](const MixInput& input) {
      node->addMixInput(input);
    });
    *outTapID = tap_->id;
    return kAudioHardwareNoError;
  }

  OSStatus destroyProcessTap(AudioObjectID tapID) override {
    if (!tap_ || tapID != tap_->id) return kAudioHardwareBadObjectError;
    if (ioProc_) destroyIOProcID(deviceId_, ioProc_.get());
    {
      LoopLock lock(connection_->loop());
      // Links first, then our node: nothing is ever linked to a node that is going away.
      connection_->graph().setRule(std::nullopt);
      tap_->node.reset();
      listeners_.clear();
      deviceId_ = kAudioObjectUnknown;
      connection_->roundtrip(kTeardownTimeout);
    }
    // A delivery that never left still reads the channel: it must stay.
    if (ioLeftBehind_) static_cast<void>(tap_->channel.release());
    tap_.reset();
    connection_.reset();
    connectTried_ = false;
    return kAudioHardwareNoError;
  }

  OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                 AudioObjectID* outDeviceID) override {
    if (outDeviceID == nullptr || deviceId_ != 0) return kAudioHardwareIllegalOperationError;
    // The device carries exactly our one tap, named by its UUID.
    if (!tap_ || description.taps.size() != 1 || description.taps[0].uid != tap_->uuid) {
      return kAudioHardwareBadObjectError;
    }
    LoopLock lock(connection_->loop());
    deviceId_ = nextObjectId_++;
    *outDeviceID = deviceId_;
    return kAudioHardwareNoError;
  }

  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override {
    if (deviceId_ == 0 || deviceID != deviceId_) return kAudioHardwareBadDeviceError;
    if (ioProc_) destroyIOProcID(deviceId_, ioProc_.get());
    LoopLock lock(connection_->loop());
    std::erase_if(listeners_, [&](const Listener& l) { return l.object == deviceID; });
    deviceId_ = 0;
    return kAudioHardwareNoError;
  }

  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               DispatchQueue& queue,
                               AudioObjectPropertyListener listener) override {
    const bool tapFormat =
        tap_ && object == tap_->id && address.mSelector == kAudioTapPropertyFormat;
    const bool deviceRate = deviceId_ != 0 && object == deviceId_ &&
                            address.mSelector == kAudioDevicePropertyNominalSampleRate;
    const bool system = object == kAudioObjectSystemObject &&
                        (address.mSelector == kAudioHardwarePropertyServiceRestarted ||
                         address.mSelector == kAudioHardwarePropertyProcessObjectList);
    if (!tapFormat && !deviceRate && !system) {
      return knownObject(object) ? kAudioHardwareUnknownPropertyError
                                 : kAudioHardwareBadObjectError;
    }
    // Before the first connection there is no loop thread to race with.
    std::optional<LoopLock> lock;
    if (connection_) lock.emplace(connection_->loop());
    listeners_.push_back({object, address, &queue, std::move(listener)});
    return kAudioHardwareNoError;
  }

  OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOBlock block,
                          AudioDeviceIOProcID* outProcID) override {
    if (deviceId_ == 0 || device != deviceId_) return kAudioHardwareBadDeviceError;
    if (outProcID == nullptr || !block || ioProc_) return kAudioHardwareIllegalOperationError;
    ioProc_ = std::make_unique<AudioDeviceIOBlock>(std::move(block));
    *outProcID = ioProc_.get();
    return kAudioHardwareNoError;
  }

  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override {
    if (deviceId_ == 0 || device != deviceId_) return kAudioHardwareBadDeviceError;
    if (!ioProc_ || procID != ioProc_.get()) return kAudioHardwareIllegalOperationError;
    stopIo();
    if (ioLeftBehind_) {
      static_cast<void>(ioProc_.release());  // a delivery may still run inside it
    } else {
      ioProc_.reset();
    }
    return kAudioHardwareNoError;
  }

  OSStatus start(AudioObjectID device, AudioDeviceIOProcID procID) override {
    if (deviceId_ == 0 || device != deviceId_) return kAudioHardwareBadDeviceError;
    if (!ioProc_ || procID != ioProc_.get()) return kAudioHardwareIllegalOperationError;
    {
      LoopLock lock(connection_->loop());
      if (connection_->broken()) return kAudioHardwareNotRunningError;
      if (!tap_->node || tap_->node->failed()) return kAudioHardwareUnspecifiedError;
    }
    tap_->channel->attach(*ioProc_);
    running_ = true;
    return kAudioHardwareNoError;
  }

  OSStatus stop(AudioObjectID device, AudioDeviceIOProcID procID) override {
    if (deviceId_ == 0 || device != deviceId_) return kAudioHardwareBadDeviceError;
    if (procID == nullptr) return kAudioHardwareNoError;
    if (!ioProc_ || procID != ioProc_.get()) return kAudioHardwareIllegalOperationError;
    stopIo();
    return kAudioHardwareNoError;
  }

 private:
  struct ProcessObject {
    TargetProcess process;
    AudioObjectID id;
  };
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    DispatchQueue* queue;
    AudioObjectPropertyListener listener;
  };
  struct Tap {
    AudioObjectID id = kAudioObjectUnknown;
    std::string uuid;
    std::unique_ptr<CaptureChannel> channel = std::make_unique<CaptureChannel>();
    std::unique_ptr<CaptureNode> node;
    std::optional<std::uint32_t> announcedRate;
  };

  OSStatus connect() {
    if (connection_) {
      LoopLock lock(connection_->loop());
      return connection_->broken() ? kAudioHardwareNotRunningError : kAudioHardwareNoError;
    }
    // A server that is not there now will not be there in a moment either: one try per run,
    // so resolving several pids without a server does not wait several times.
    if (connectTried_) return kAudioHardwareNotRunningError;
    connectTried_ = true;
    int error = 0;
    connection_ = PipeWireConnection::open(kConnectTimeout, error);
    if (!connection_) {
      connectionFailure_ = connectionFailure(-error);
      return kAudioHardwareNotRunningError;
    }
    LoopLock lock(connection_->loop());
    connection_->onBroken(
        [this] { notify(kAudioObjectSystemObject, kAudioHardwarePropertyServiceRestarted); });
    connection_->graph().onProcessesChanged([this] { processListChanged(); });
    return kAudioHardwareNoError;
  }

  // Loop thread, loop lock held: tells those who follow the process list, then confirms the
  // list to the graph once they have acted on it (their queue runs its jobs in order).
  void processListChanged() {
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    const std::uint64_t generation = connection_->graph().listGeneration();
    for (const Listener& l : listeners_) {
      if (l.address.mSelector != kAudioHardwarePropertyProcessObjectList) continue;
      l.queue->post([this, generation] {
        if (!connection_) return;
        LoopLock lock(connection_->loop());
        connection_->graph().confirmList(generation);
      });
      break;
    }
  }

  bool followed() const {
    return std::any_of(listeners_.begin(), listeners_.end(), [](const Listener& l) {
      return l.address.mSelector == kAudioHardwarePropertyProcessObjectList;
    });
  }

  // The processes of a description's objects, or nothing when one is not ours.
  std::optional<std::vector<TargetProcess>> processesIn(const TapDescription& description) const {
    std::vector<TargetProcess> processes;
    for (const AudioObjectID object : description.processes) {
      const TargetProcess* process = processOf(object);
      if (process == nullptr) return std::nullopt;
      processes.push_back(*process);
    }
    return processes;
  }

  const TargetProcess* processOf(AudioObjectID object) const {
    auto found = std::find_if(processes_.begin(), processes_.end(),
                              [object](const ProcessObject& p) { return p.id == object; });
    return found == processes_.end() ? nullptr : &found->process;
  }

  // A process object is a process, not a pid: a later process with the same pid gets another.
  AudioObjectID objectOf(const TargetProcess& process) {
    auto known = std::find_if(processes_.begin(), processes_.end(),
                              [&](const ProcessObject& p) { return p.process == process; });
    if (known == processes_.end())
      known = processes_.insert(processes_.end(), {process, nextObjectId_++});
    return known->id;
  }

  // Learns the clients that connected since the last look, with their properties. Loop lock held.
  OSStatus lookAtTheGraph() {
    if (!connection_->roundtrip(kConnectTimeout) || !connection_->roundtrip(kConnectTimeout)) {
      return connection_->broken() ? kAudioHardwareNotRunningError : kAudioHardwareUnspecifiedError;
    }
    listSeen_ = connection_->graph().listGeneration();
    return kAudioHardwareNoError;
  }

  // The objects of every process with a client in the graph now, in the order of their pids.
  OSStatus audioProcessObjects(std::vector<AudioObjectID>& objects) {
    if (OSStatus status = connect(); status != kAudioHardwareNoError) return status;
    std::set<TargetProcess> processes;
    {
      LoopLock lock(connection_->loop());
      if (OSStatus status = lookAtTheGraph(); status != kAudioHardwareNoError) return status;
      for (const auto& [id, client] : connection_->graph().state().clients) {
        processes.insert(client.processes.begin(), client.processes.end());
      }
    }
    for (const TargetProcess& process : processes) objects.push_back(objectOf(process));
    return kAudioHardwareNoError;
  }

  OSStatus processObjectFor(std::int32_t pid, AudioObjectID& found) {
    found = kAudioObjectUnknown;
    if (OSStatus status = connect(); status != kAudioHardwareNoError) return status;
    const auto identity = systemProcesses().process(pid);
    if (!identity) return kAudioHardwareNoError;
    const TargetProcess process{identity->pid, identity->startTime};
    {
      LoopLock lock(connection_->loop());
      if (OSStatus status = lookAtTheGraph(); status != kAudioHardwareNoError) return status;
      if (!hasClientOf(connection_->graph().state(), process)) return kAudioHardwareNoError;
    }
    found = objectOf(process);
    return kAudioHardwareNoError;
  }

  // The tap's format, waiting a bounded time for the first negotiation.
  std::optional<NegotiatedFormat> currentFormat() {
    LoopLock lock(connection_->loop());
    if (!tap_->node) return std::nullopt;
    connection_->waitFor(kFormatTimeout,
                         [&] { return tap_->node->format() || tap_->node->failed(); });
    return tap_->node->format();
  }

  // Loop thread, loop lock held.
  void formatNegotiated(const NegotiatedFormat& format) {
    connection_->wake();
    if (!tap_) return;  // the first negotiation can come before createProcessTap returns
    const bool rateChanged = tap_->announcedRate != format.rate;
    tap_->announcedRate = format.rate;
    notify(tap_->id, kAudioTapPropertyFormat);
    if (rateChanged) notify(deviceId_, kAudioDevicePropertyNominalSampleRate);
  }

  // Loop thread, loop lock held: posts the listeners of a property to their queues.
  void notify(AudioObjectID object, std::uint32_t selector) {
    for (const Listener& l : listeners_) {
      if (l.object == object && l.address.mSelector == selector) {
        l.queue->post([listener = l.listener, address = l.address] { listener(1, &address); });
      }
    }
  }

  void stopIo() {
    if (!ioProc_ || !running_) return;
    running_ = false;
    if (!tap_->channel->detach(kIoStopTimeout)) ioLeftBehind_ = true;
  }

  bool knownObject(AudioObjectID object) const {
    if (object == kAudioObjectSystemObject) return true;
    if (tap_ && object == tap_->id) return true;
    if (deviceId_ != 0 && object == deviceId_) return true;
    return std::any_of(processes_.begin(), processes_.end(),
                       [object](const ProcessObject& p) { return p.id == object; });
  }

  std::unique_ptr<PipeWireConnection> connection_;
  bool connectTried_ = false;
  std::string connectionFailure_;    // what the failed connection said
  AudioObjectID nextObjectId_ = 16;  // below are the system object and room for fixed ids
  std::vector<ProcessObject> processes_;
  std::unique_ptr<Tap> tap_;
  AudioObjectID deviceId_ = kAudioObjectUnknown;
  std::unique_ptr<AudioDeviceIOBlock> ioProc_;
  bool running_ = false;
  bool ioLeftBehind_ = false;
  std::vector<Listener> listeners_;  // guarded by the loop lock once connected
  std::uint64_t listSeen_ = 0;       // the generation of the process list our callers last saw
};

}  // namespace

std::unique_ptr<AudioHardware> makePipeWireAudioHardware() {
  return std::make_unique<PipeWireAudioHardware>();
}

}  // namespace quenwick
