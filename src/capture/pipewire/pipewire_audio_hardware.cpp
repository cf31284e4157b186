#include "capture/pipewire/pipewire_audio_hardware.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>
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

class PipeWireAudioHardware final : public AudioHardware {
 public:
  ~PipeWireAudioHardware() override {
    if (tap_) destroyProcessTap(tap_->id);
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
      auto process = std::find_if(processes_.begin(), processes_.end(),
                                  [object](const ProcessObject& p) { return p.id == object; });
      if (process == processes_.end()) return kAudioHardwareBadObjectError;
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

  // The tap follows its description's targets as their streams come and go: there is nothing
  // for the agent to write.
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress&, std::uint32_t,
                           const void*, std::uint32_t, const void*) override {
    return knownObject(object) ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;
  }

  OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID) override {
    if (outTapID == nullptr) return kAudioHardwareIllegalOperationError;
    if (tap_) return kAudioHardwareIllegalOperationError;  // one tap per agent
    if (OSStatus status = connect(); status != kAudioHardwareNoError) return status;

    LinkRule rule;
    rule.everyProcessExceptListed =
        description.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    for (AudioObjectID object : description.processes) {
      if (!std::any_of(processes_.begin(), processes_.end(),
                       [object](const ProcessObject& p) { return p.id == object; })) {
        return kAudioHardwareBadObjectError;
      }
    }
    // The link plan matches every stream against the targets as it appears, for the whole run.
    rule.targets = description.targets;
    for (const TargetProcess& target : rule.targets.processes) {
      rule.processes.push_back(identifyProcess(target.pid));
    }
    rule.self = identifyProcess(static_cast<std::int32_t>(getpid()));

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
    const bool serverGone = connection_ && object == kAudioObjectSystemObject &&
                            address.mSelector == kAudioHardwarePropertyServiceRestarted;
    if (!tapFormat && !deviceRate && !serverGone) {
      return knownObject(object) ? kAudioHardwareUnknownPropertyError
                                 : kAudioHardwareBadObjectError;
    }
    LoopLock lock(connection_->loop());
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
    std::int32_t pid;
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
    if (!connection_) return kAudioHardwareNotRunningError;
    LoopLock lock(connection_->loop());
    connection_->onBroken(
        [this] { notify(kAudioObjectSystemObject, kAudioHardwarePropertyServiceRestarted); });
    return kAudioHardwareNoError;
  }

  AudioObjectID objectOf(std::int32_t pid) {
    auto known = std::find_if(processes_.begin(), processes_.end(),
                              [pid](const ProcessObject& p) { return p.pid == pid; });
    if (known == processes_.end())
      known = processes_.insert(processes_.end(), {pid, nextObjectId_++});
    return known->id;
  }

  // The objects of every process with a client in the graph now, in the order of their pids.
  OSStatus audioProcessObjects(std::vector<AudioObjectID>& objects) {
    if (OSStatus status = connect(); status != kAudioHardwareNoError) return status;
    std::set<std::int32_t> pids;
    {
      LoopLock lock(connection_->loop());
      if (!connection_->roundtrip(kConnectTimeout) || !connection_->roundtrip(kConnectTimeout)) {
        return connection_->broken() ? kAudioHardwareNotRunningError
                                     : kAudioHardwareUnspecifiedError;
      }
      for (const auto& [id, client] : connection_->graph().state().clients) {
        if (!client.identity) continue;
        const auto& owner = *client.identity;
        if (const auto pid = owner.viaPulse ? owner.applicationPid : owner.securityPid) {
          pids.insert(*pid);
        }
      }
    }
    for (const std::int32_t pid : pids) objects.push_back(objectOf(pid));
    return kAudioHardwareNoError;
  }

  OSStatus processObjectFor(std::int32_t pid, AudioObjectID& found) {
    found = kAudioObjectUnknown;
    if (OSStatus status = connect(); status != kAudioHardwareNoError) return status;
    const ProcessIdentity process = identifyProcess(pid);
    {
      LoopLock lock(connection_->loop());
      // Clients that connected since the last look are learnt with their properties.
      if (!connection_->roundtrip(kConnectTimeout) || !connection_->roundtrip(kConnectTimeout)) {
        return connection_->broken() ? kAudioHardwareNotRunningError
                                     : kAudioHardwareUnspecifiedError;
      }
      if (!hasClientOf(connection_->graph().state(), process)) return kAudioHardwareNoError;
    }
    found = objectOf(pid);
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
  AudioObjectID nextObjectId_ = 16;  // below are the system object and room for fixed ids
  std::vector<ProcessObject> processes_;
  std::unique_ptr<Tap> tap_;
  AudioObjectID deviceId_ = kAudioObjectUnknown;
  std::unique_ptr<AudioDeviceIOBlock> ioProc_;
  bool running_ = false;
  bool ioLeftBehind_ = false;
  std::vector<Listener> listeners_;  // guarded by the loop lock
};

}  // namespace

std::unique_ptr<AudioHardware> makePipeWireAudioHardware() {
  return std::make_unique<PipeWireAudioHardware>();
}

}  // namespace quenwick
