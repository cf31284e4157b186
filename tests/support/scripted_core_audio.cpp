// quenwick-scripted: the agent's real run control and its Core Audio backend, the code that macOS
// runs, on a scripted Core Audio. The scripted layer answers every call of the backend's seam as
// its script says, logs every call (with what the tap and the device are made of), and plays a
// scripted series of buffer lists and format changes on an IO thread of its own once a device has
// started. Where Apple's headers allow two readings, the script chooses one. The server is one per
// process, as coreaudiod is one per machine; each opening of the backend is a client of it.
//
// The script is a JSON object at the path in $QUENWICK_SCRIPT (tests/conftest.py writes it):
//   "log": PATH            the call log: one JSON object per line, one write(2) each, so that it
//                          is whole however the process ends
//   "pids": {PID: OBJECT}  what 'id2p' gives for a pid; OBJECT may be [OBJECT, STATUS] (the object
//                          is written whatever the status). The key
//                          "parent" stands for the parent of the agent at start-up. Others: the
//                          object of the pid in the process list, or 0.
//   "tapStatus", "deviceStatus", "ioprocStatus", "startStatus": STATUS
//   "ioproc": null         the IO proc create leaves the id null
//   "slowTap": MS          the tap takes that long to create
//   "processes": [[OBJECT, PID]]  the layer's process list ('prs#'), with each object's pid
//                          ('ppid'); a step {"processes": [...]} replaces it
//   "listStatus": STATUS   what reading the process list returns
//   "listTooSmall": "truncates"|"fails"  a process list read into too little room, in the two
//                          readings of Apple's header: cut to the room, or refused with '!siz'
//   "growsAfterSize": [[OBJECT, PID]]  join the process list right after its size was first
//                          asked, before it is read
//   "joins": [{"after": MS, "pid": PID, "object": OBJECT}]  a process that becomes an audio
//                          process MS after the layer was opened (or, with "await": PATH in
//                          place of "after", once the file exists), whatever the device does: it
//                          joins the process list, 'id2p' gives its object, and the listeners
//                          of 'prs#' are told; or {"after": MS, "restart": RESTART}
//   "startBlocks", "stopBlocks": PATH  the device's start or stop returns only once the file
//                          exists
//   "playing": [OBJECT]    processes that play from the start, as their 'piro' says; a step
//                          {"play": OBJECT} starts one and {"quiet": OBJECT} stops one, told to
//                          the listeners of its 'piro'. With this key a list carries the source
//                          only while a process the tap hears plays (silence otherwise); without
//                          it, always
//   "piroSilent", "listQuietAfterTap": true  as reported: 'piro' never notifies; 'prs#' does not
//                          once a tap exists
//   "descriptionStatus": STATUS  a tap description's write ('!hog' without the permission)
//   "emptyMixdown": "silent"|"everything"  what a mixdown of no process hears (unsaid)
//   "staleAtCreate": {"gone": [OBJECT], "processes", "pids"}  at the first tap creation, the
//                          objects go stale and these replace the list and pids; a tap naming a
//                          stale object is refused ('!obj')
//   "tapStaysFor": N       the device goes after its destruction call: the tap refuses ('nope')
//                          N tries
//   "silentTap": true      the permission to record is refused, as Apple's users report it: the
//                          tap and the device are made and run, 'piro' says who plays, and every
//                          list carries zeros
//   "tfmtChangesAfterRead": FORMAT  the format changes right after the first 'tfmt' read, and
//                          the listeners of 'tfmt' there are then are told
//   "tfmtAnnouncedOnListen": true  a listener of 'tfmt' is told of a change as soon as it is
//                          added, before the format was ever read
//   "format": FORMAT       the tap's format at first (48000 2 f32)
//   "source": PATH         raw interleaved samples of the layout's type, repeated; else silence.
//                          Each list has a time stamp, its host time advancing by the list's
//                          length from 1 s on
//   "steps": [STEP]        {"deliver": COUNT (-1: until stopped), "frames": N}
//                          {"change": FORMAT}: reads and deliveries change; {"tfmt": FORMAT}:
//                          only reads; {"notify": "tfmt"|"nsrt"|"prs#"}; {"sync": true}: waits
//                          until the agent's queue has run what was posted before it; {"sleep":
//                          MS}; {"pace": US} after each list from then on; {"await": PATH}:
//                          waits until the file exists; {"hold": true}: holds the agent's queue
//                          (a job there waits) until {"release": true}; {"restart": RESTART};
//                          {"asleep": S}: the machine sleeps S seconds, in no time here: no IO,
//                          the host time stands still, the time slept grows
// RESTART: {"told": "after"|"before"}, once the agent serves its queue: the server restarts, and
// every object and listener made before is gone (calls on the objects fail with '!obj', IO
// stops); the listeners of 'srst' made before are told, after that or before (then the objects go
// once the agent listens to the new server). The process list is empty until a step or a join
// fills it. Objects made since have new ids. What follows waits until the agent listens again.
// FORMAT: {"rate", "channels", "layout": "f32"|"s16"|"planar"} with "bits" or "id" overriding
// the record, or {"fail": STATUS}.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "app/agent.h"
#include "capture/coreaudio/audio_hardware.h"
#include "capture/coreaudio/core_audio_capture.h"
#include "convert/sample_layout.h"
#include "layer_script.h"
#include "linear_pcm.h"

namespace quenwick {
namespace {

using nlohmann::json;

constexpr auto kBadPropertySize = static_cast<OSStatus>(fourCharCode("!siz"));
constexpr auto kBadObject = static_cast<OSStatus>(fourCharCode("!obj"));
constexpr auto kUnknownProperty = static_cast<OSStatus>(fourCharCode("who?"));
constexpr auto kIllegalOperation = static_cast<OSStatus>(fourCharCode("nope"));

struct FormatReply {
  OSStatus status = kAudioHardwareNoError;
  AudioStreamBasicDescription format{};
};

FormatReply formatFrom(const json& format) {
  if (format.contains("fail")) return {format["fail"].get<OSStatus>(), {}};
  const auto layout = parseSampleLayout(format["layout"].get<std::string>());
  // JSON has no NaN: a rate may come as text.
  const json& rate = format["rate"];
  FormatReply reply{
      kAudioHardwareNoError,
      linearPcmOf(layout.value(),
                  rate.is_string() ? std::stod(rate.get<std::string>()) : rate.get<double>(),
                  format["channels"].get<std::uint32_t>())};
  auto& f = reply.format;
  f.mBitsPerChannel = format.value("bits", f.mBitsPerChannel);
  f.mFormatID = format.value("id", f.mFormatID);
  return reply;
}

class ScriptedAudioHardware final : public AudioHardware {
 public:
  // The first client opens the server.
  explicit ScriptedAudioHardware(const json& script) {
    if (std::exchange(opened_, true)) return;
    script_ = script;
    parent_ = getppid();
    log = CallLog(script_);
    readReply_ = streamReply_ = formatFrom(
        script_.value("format", json{{"rate", 48000.0}, {"channels", 2}, {"layout", "f32"}}));
    processes_ = script_.value("processes", json::array());
    pids_ = script_.value("pids", json::object());
    if (script_.contains("joins")) joins_ = std::thread(join);
    soundModel_ = script_.contains("playing");
    silentTap_ = script_.value("silentTap", false);
    for (const auto& object : script_.value("playing", json::array())) {
      playing_.insert(object.get<AudioObjectID>());
    }
    if (script_.contains("source")) {
      std::ifstream file(script_["source"].get<std::string>(), std::ios::binary);
      source_.assign(std::istreambuf_iterator<char>(file), {});
    }
  }

  static std::chrono::nanoseconds slept() { return std::chrono::nanoseconds(slept_.load()); }

  HostClock hostClock() const override { return clock_; }

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t, const void*, std::uint32_t* outDataSize) override {
    log({{"call", "getPropertyDataSize"}});
    OSStatus status = kUnknownProperty;
    if (object == kAudioObjectSystemObject &&
        address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      std::lock_guard lock(mutex_);
      status = script_.value("listStatus", 0);
      if (status == kAudioHardwareNoError) {
        *outDataSize = static_cast<std::uint32_t>(processes_.size() * sizeof(AudioObjectID));
        if (!grownAfterSize_) {
          grownAfterSize_ = true;
          for (const auto& entry : script_.value("growsAfterSize", json::array())) {
            processes_.push_back(entry);
          }
        }
      }
    }
    return status;
  }

  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t, const void*, std::uint32_t dataSize,
                           const void* data) override {
    json line = {{"call", "setPropertyData"}};
    OSStatus status = kUnknownProperty;
    if (address.mSelector == kAudioTapPropertyDescription && dataSize == sizeof(void*)) {
      const auto* description = *static_cast<const TapDescription* const*>(data);
      line["processes"] = description->processes;
      std::lock_guard lock(mutex_);
      status = object == tap_ && !gone(object) ? script_.value("descriptionStatus", 0) : kBadObject;
      if (status == kAudioHardwareNoError) tapped_ = description->processes;
    } else if (object == kAudioObjectSystemObject &&
               address.mSelector == kAudioHardwarePropertySleepingIsAllowed &&
               dataSize == sizeof(std::uint32_t)) {
      std::uint32_t value = 0;
      std::memcpy(&value, data, sizeof value);
      line["sleepingIsAllowed"] = value;
      status = kAudioHardwareNoError;
    }
    line["status"] = status;
    log(line);
    return status;
  }

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier,
                           std::uint32_t* ioDataSize, void* outData) override {
    log({{"call", "getPropertyData"}});
    OSStatus status = kUnknownProperty;
    if (address.mSelector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
      std::int32_t pid = 0;
      if (qualifier == nullptr || qualifierSize != sizeof pid || ioDataSize == nullptr ||
          *ioDataSize < sizeof(AudioObjectID)) {
        status = kBadPropertySize;
      } else {
        std::memcpy(&pid, qualifier, sizeof pid);
        status = readProcessObject(pid, outData);
      }
    } else if (address.mSelector == kAudioTapPropertyFormat) {
      status = readTapFormat(object, ioDataSize, outData);
    } else if (address.mSelector == kAudioHardwarePropertyProcessObjectList ||
               address.mSelector == kAudioProcessPropertyPID) {
      status = readProcesses(object, address.mSelector, ioDataSize, outData);
    } else if (address.mSelector == kAudioProcessPropertyIsRunningOutput) {
      status = readRunningOutput(object, ioDataSize, outData);
    }
    if (address.mSelector == kAudioTapPropertyFormat) changeAfterFirstRead();
    return status;
  }

  OSStatus createProcessTap(const TapDescription& d, AudioObjectID* outTapID) override {
    const bool global = d.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    json line = {{"call", "createProcessTap"},
                 {"kind", global ? "global" : "mixdown"},
                 {"processes", d.processes},
                 {"private", d.isPrivate},
                 {"mute", static_cast<int>(d.muteBehavior)},
                 {"uuid", d.uuid}};
    std::this_thread::sleep_for(std::chrono::milliseconds(script_.value("slowTap", 0)));
    {
      std::lock_guard lock(mutex_);
      if (script_.contains("staleAtCreate") && !std::exchange(staled_, true)) {
        const json& stale = script_["staleAtCreate"];
        for (const auto& object : stale["gone"]) stale_.insert(object.get<AudioObjectID>());
        processes_ = stale["processes"];
        pids_ = stale["pids"];
      }
      if (std::any_of(d.processes.begin(), d.processes.end(),
                      [](AudioObjectID object) { return stale_.contains(object); })) {
        line["status"] = kBadObject;
        log(line);
        return kBadObject;
      }
      globalTap_ = global;
      tapped_ = d.processes;
    }
    return created(line, "tapStatus", tap_, 100, outTapID);
  }

  OSStatus createAggregateDevice(const AggregateDeviceDescription& d,
                                 AudioObjectID* outDeviceID) override {
    json taps = json::array();
    for (const auto& tap : d.taps) taps.push_back({{"uid", tap.uid}, {"drift", tap.drift}});
    json line = {{"call", "createAggregateDevice"},
                 {"uid", d.uid},
                 {"private", d.isPrivate},
                 {"tapautostart", d.tapAutoStart},
                 {"taps", taps}};
    return created(line, "deviceStatus", device_, 200, outDeviceID);
  }

  OSStatus destroyProcessTap(AudioObjectID tap) override {
    {
      std::lock_guard lock(mutex_);
      if (deviceGoing_ > 0 && !gone(tap)) {
        --deviceGoing_;
        log({{"call", "destroyProcessTap"}, {"status", kIllegalOperation}});
        return kIllegalOperation;
      }
    }
    return destroy("destroyProcessTap", tap);
  }

  OSStatus destroyAggregateDevice(AudioObjectID device) override {
    {
      std::lock_guard lock(mutex_);
      deviceGoing_ = script_.value("tapStaysFor", 0);
    }
    return destroy("destroyAggregateDevice", device);
  }

  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               DispatchQueue& queue, AudioObjectPropertyListener block) override {
    log({{"call", "addPropertyListener"}});
    {
      std::lock_guard lock(mutex_);
      if (gone(object)) return kBadObject;
      // The system object's listeners are listen()'s: their queue is the agent's, and the server
      // theirs the one it follows.
      if (object == kAudioObjectSystemObject) {
        agentQueue_ = &queue;
        agentEpoch_ = epoch_;
      }
      listeners_.push_back({object, address, &queue, std::move(block), epoch_});
    }
    wake_.notify_all();
    // A change announced the moment the listener is there, before the format is first read.
    if (address.mSelector == kAudioTapPropertyFormat &&
        script_.value("tfmtAnnouncedOnListen", false)) {
      notify(kAudioTapPropertyFormat);
    }
    return kAudioHardwareNoError;
  }

  OSStatus createIOProcID(AudioObjectID, AudioDeviceIOBlock block,
                          AudioDeviceIOProcID* outProcID) override {
    log({{"call", "createIOProcID"}});
    std::lock_guard lock(mutex_);
    const OSStatus status = script_.value("ioprocStatus", 0);
    if (status == kAudioHardwareNoError) {
      const json id = script_.value("ioproc", json(300));
      procID_ = id.is_null() ? nullptr
                             : reinterpret_cast<AudioDeviceIOProcID>(id.get<uintptr_t>() + epoch_);
      block_ = std::move(block);
      if (procID_ != nullptr) *outProcID = procID_;
    }
    return status;
  }

  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID) override {
    return destroy("destroyIOProcID", device);
  }

  OSStatus start(AudioObjectID device, AudioDeviceIOProcID proc) override {
    blockIfScripted("startBlocks", "starting");
    log({{"call", "start"}});
    {
      std::lock_guard lock(mutex_);
      if (const OSStatus status = gone(device) ? kBadObject : script_.value("startStatus", 0)) {
        return status;
      }
      running_ = device;
      // Only the IO proc made here is fed; a start without it still runs the other steps.
      if (proc == nullptr || proc != procID_) block_ = nullptr;
    }
    wake_.notify_all();
    if (steps_.joinable()) return kAudioHardwareNoError;
    // Core Audio runs no IO while the tap's format is changing: a change announced before the
    // start is settled by the first cycle.
    if (notifier_.joinable()) notifier_.join();
    steps_ = std::thread(runSteps);
    return kAudioHardwareNoError;
  }

  // A cycle under way ends first, as AudioDeviceStop waits for it.
  OSStatus stop(AudioObjectID device, AudioDeviceIOProcID) override {
    blockIfScripted("stopBlocks", "stopping");
    log({{"call", "stop"}});
    std::lock_guard lock(mutex_);
    if (device == running_) running_ = kAudioObjectUnknown;
    return gone(device) ? kBadObject : kAudioHardwareNoError;
  }

 private:
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    DispatchQueue* queue;
    AudioObjectPropertyListener block;
    std::uint32_t epoch;  // the server's it was added to
  };

  // Under mutex_: an object made by a server that went away. Processes' objects (under 100) are
  // the script's.
  static bool gone(AudioObjectID object) { return object >= 100 && object % 100 < liveSince_; }

  static OSStatus destroy(const char* call, AudioObjectID object) {
    std::lock_guard lock(mutex_);
    const OSStatus status = gone(object) ? kBadObject : kAudioHardwareNoError;
    log({{"call", call}, {"status", status}});
    return status;
  }

  // Whether the tap hears a process that plays now. Under mutex_.
  static bool hearsSound() {
    if (!soundModel_) return true;
    if (!globalTap_ && tapped_.empty()) {
      return script_.value("emptyMixdown", "silent") == "everything" && !playing_.empty();
    }
    return std::any_of(playing_.begin(), playing_.end(), [&](AudioObjectID object) {
      const bool listed = std::find(tapped_.begin(), tapped_.end(), object) != tapped_.end();
      return listed != globalTap_;
    });
  }

  // A call that does not return until the test lets it: the file the script names under `key`.
  static void blockIfScripted(const char* key, const char* what) {
    if (!script_.contains(key)) return;
    log({{"scripted", what}});
    const std::string path = script_[key].get<std::string>();
    while (access(path.c_str(), F_OK) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Each server numbers its objects anew: the first server's are `base`.
  static OSStatus created(const json& line, const char* statusKey, AudioObjectID& made,
                          AudioObjectID base, AudioObjectID* out) {
    const OSStatus status = script_.value(statusKey, 0);
    std::lock_guard lock(mutex_);
    if (status == kAudioHardwareNoError) *out = made = base + epoch_;
    json logged = line;
    logged["status"] = status;
    log(logged);
    return status;
  }

  static OSStatus readProcessObject(std::int32_t pid, void* outData) {
    const json pids = [&] {
      std::lock_guard lock(mutex_);
      return pids_;
    }();
    json reply = pids.value(std::to_string(pid), listedObject(pid));
    if (!pids.contains(std::to_string(pid)) && pid == parent_) reply = pids.value("parent", reply);
    if (!reply.is_array()) reply = json::array({reply, 0});
    // The object is written even with a failing status: a caller must go by the status.
    const auto object = reply[0].get<AudioObjectID>();
    std::memcpy(outData, &object, sizeof object);
    return reply[1].get<OSStatus>();
  }

  // The object the process list gives the pid, or 0.
  static json listedObject(std::int32_t pid) {
    std::lock_guard lock(mutex_);
    for (const auto& entry : processes_) {
      if (entry[1].get<std::int32_t>() == pid) return entry[0];
    }
    return 0;
  }

  static OSStatus readRunningOutput(AudioObjectID object, std::uint32_t* ioDataSize,
                                    void* outData) {
    if (ioDataSize == nullptr || *ioDataSize < sizeof(std::uint32_t)) return kBadPropertySize;
    std::lock_guard lock(mutex_);
    const bool known = std::any_of(processes_.begin(), processes_.end(),
                                   [&](const json& entry) { return entry[0] == object; }) ||
                       playing_.contains(object);
    if (!known) return kBadObject;
    const std::uint32_t running = playing_.contains(object) ? 1 : 0;
    std::memcpy(outData, &running, sizeof running);
    *ioDataSize = sizeof running;
    return kAudioHardwareNoError;
  }

  static OSStatus readTapFormat(AudioObjectID object, std::uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || *ioDataSize < sizeof(AudioStreamBasicDescription)) {
      return kBadPropertySize;
    }
    const FormatReply reply = [&] {
      std::lock_guard lock(mutex_);
      return object == tap_ && !gone(object) ? readReply_ : FormatReply{kBadObject, {}};
    }();
    if (reply.status != kAudioHardwareNoError) return reply.status;
    std::memcpy(outData, &reply.format, sizeof reply.format);
    return kAudioHardwareNoError;
  }

  // 'prs#' on the system object, or 'ppid' on one of its processes.
  static OSStatus readProcesses(AudioObjectID object, std::uint32_t selector,
                                std::uint32_t* ioDataSize, void* outData) {
    std::lock_guard lock(mutex_);
    if (selector == kAudioProcessPropertyPID) {
      for (const auto& entry : processes_) {
        if (entry[0] != object) continue;
        const auto pid = entry[1].get<std::int32_t>();
        std::memcpy(outData, &pid, sizeof pid);
        return kAudioHardwareNoError;
      }
      return kBadObject;
    }
    if (const OSStatus status = script_.value("listStatus", 0); status != kAudioHardwareNoError) {
      return status;
    }
    std::vector<AudioObjectID> objects;
    for (const auto& entry : processes_) objects.push_back(entry[0].get<AudioObjectID>());
    if (objects.size() > *ioDataSize / 4 && script_.value("listTooSmall", "truncates") == "fails") {
      return kBadPropertySize;
    }
    const std::size_t fit = std::min<std::size_t>(objects.size(), *ioDataSize / 4);
    std::copy_n(objects.begin(), fit, static_cast<AudioObjectID*>(outData));
    *ioDataSize = static_cast<std::uint32_t>(fit * 4);
    return kAudioHardwareNoError;
  }

  static void runSteps() {
    for (const json& step : script_.value("steps", json::array())) {
      if (step.contains("deliver")) {
        const auto count = step["deliver"].get<std::int64_t>();
        for (std::int64_t i = 0; count < 0 || i < count; ++i) {
          deliver(step["frames"].get<std::uint32_t>());
          std::this_thread::sleep_for(pace_);
        }
      } else if (step.contains("change") || step.contains("tfmt")) {
        const bool both = step.contains("change");
        std::lock_guard lock(mutex_);
        readReply_ = formatFrom(step[both ? "change" : "tfmt"]);
        if (both) streamReply_ = readReply_;
      } else if (step.contains("processes")) {
        std::lock_guard lock(mutex_);
        processes_ = step["processes"];
      } else if (step.contains("play") || step.contains("quiet")) {
        const bool play = step.contains("play");
        const auto object = step[play ? "play" : "quiet"].get<AudioObjectID>();
        {
          std::lock_guard lock(mutex_);
          if (play) {
            playing_.insert(object);
          } else {
            playing_.erase(object);
          }
        }
        if (!script_.value("piroSilent", false)) {
          notify(kAudioProcessPropertyIsRunningOutput, object);
        }
      } else if (step.contains("notify")) {
        std::uint32_t selector = 0;
        for (const char c : step["notify"].get<std::string>()) {
          selector = selector << 8 | static_cast<unsigned char>(c);
        }
        notify(selector);
      } else if (step.contains("sync")) {
        sync();
      } else if (step.contains("hold")) {
        hold();
      } else if (step.contains("release")) {
        std::lock_guard lock(mutex_);
        holding_ = false;
        wake_.notify_all();
      } else if (step.contains("sleep")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step["sleep"].get<int>()));
      } else if (step.contains("asleep")) {
        slept_ += std::llround(step["asleep"].get<double>() * 1e9);
      } else if (step.contains("restart")) {
        restart(step["restart"]);
      } else if (step.contains("pace")) {
        pace_ = std::chrono::microseconds(step["pace"].get<int>());
      } else if (step.contains("await")) {
        log({{"scripted", "awaiting"}});
        const std::string path = step["await"].get<std::string>();
        while (access(path.c_str(), F_OK) != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    }
    log({{"scripted", "done"}});
  }

  // One list of `frames` frames, from the source, in the format deliveries have now: one
  // interleaved buffer, or one buffer per channel; once a device runs.
  static void deliver(std::uint32_t frames) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [] { return running_ != kAudioObjectUnknown && !gone(running_); });
    const bool sound = hearsSound();
    const AudioStreamBasicDescription& f = streamReply_.format;
    const bool planar = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const std::size_t sampleBytes = (planar || (f.mFormatFlags & kAudioFormatFlagIsFloat)) ? 4 : 2;
    const std::uint32_t channels = std::max<std::uint32_t>(f.mChannelsPerFrame, 1);
    std::vector<unsigned char> interleaved(std::size_t{frames} * channels * sampleBytes);
    for (std::size_t at = 0; sound && !silentTap_ && at < interleaved.size() && !source_.empty();) {
      const std::size_t run = std::min(interleaved.size() - at, source_.size() - sourceAt_);
      std::memcpy(&interleaved[at], &source_[sourceAt_], run);
      at += run;
      sourceAt_ = (sourceAt_ + run) % source_.size();
    }
    const std::uint32_t buffers = planar ? channels : 1;
    std::vector<std::vector<unsigned char>> data(buffers);
    std::vector<unsigned char> records(sizeof(AudioBufferList) + buffers * sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(records.data());
    list->mNumberBuffers = buffers;
    for (std::uint32_t b = 0; b < buffers; ++b) {
      if (planar) {
        for (std::size_t n = 0; n < frames; ++n) {
          const auto* sample = &interleaved[(n * channels + b) * sampleBytes];
          data[b].insert(data[b].end(), sample, sample + sampleBytes);
        }
      } else {
        data[b] = interleaved;
      }
      list->mBuffers[b] = {planar ? 1 : f.mChannelsPerFrame,
                           static_cast<std::uint32_t>(data[b].size()), data[b].data()};
    }
    AudioTimeStamp now{};
    now.mSampleTime = static_cast<double>(sampleTime_);
    now.mHostTime =
        static_cast<std::uint64_t>(std::llround(hostTime_ * clock_.denom / clock_.numer));
    now.mRateScalar = 1.0;
    now.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    AudioBufferList output{};
    if (block_) block_(&now, list, &now, &output, &now);
    sampleTime_ += frames;
    hostTime_ += frames * 1e9 / f.mSampleRate;
  }

  // Processes that become audio processes on their own time, from the layer's opening.
  static void join() {
    const auto opened = std::chrono::steady_clock::now();
    for (const json& joining : script_["joins"]) {
      if (joining.contains("await")) {
        const std::string path = joining["await"].get<std::string>();
        while (access(path.c_str(), F_OK) != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      } else {
        std::this_thread::sleep_until(opened +
                                      std::chrono::milliseconds(joining["after"].get<int>()));
      }
      if (joining.contains("restart")) {
        restart(joining["restart"]);
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        processes_.push_back({joining["object"], joining["pid"]});
        pids_[std::to_string(joining["pid"].get<std::int32_t>())] = joining["object"];
      }
      notify(kAudioHardwarePropertyProcessObjectList);
    }
  }

  // The tap's format changes just after the agent first read it. Core Audio tells of it on a
  // thread of its own, as it tells of every change.
  static void changeAfterFirstRead() {
    {
      std::lock_guard lock(mutex_);
      if (changedAfterRead_ || !script_.contains("tfmtChangesAfterRead")) return;
      changedAfterRead_ = true;
      readReply_ = streamReply_ = formatFrom(script_["tfmtChangesAfterRead"]);
    }
    notifier_ = std::thread([] { notify(kAudioTapPropertyFormat); });
  }

  // Each listener's queue gets the notification; outside the lock, as a queue may run it there
  // and then, and it calls back.
  static void notify(std::uint32_t selector) {
    notify(selector, selector == kAudioTapPropertyFormat                 ? tap_
                     : selector == kAudioDevicePropertyNominalSampleRate ? device_
                                                                         : 1);
  }

  // `first` runs under the lock once the listeners to tell are known.
  static void notify(std::uint32_t selector, AudioObjectID object, void (*first)() = nullptr) {
    std::vector<Listener> told;
    {
      std::lock_guard lock(mutex_);
      if (selector == kAudioHardwarePropertyProcessObjectList && tap_ != kAudioObjectUnknown &&
          script_.value("listQuietAfterTap", false)) {
        return;
      }
      for (const auto& l : listeners_) {
        if (l.object == object && l.address.mSelector == selector) told.push_back(l);
      }
      if (first != nullptr) first();
    }
    for (const auto& l : told) l.queue->post([l] { l.block(1, &l.address); });
  }

  static void restart(const json& how) {
    sync();
    const bool toldFirst = how.value("told", "after") == "before";
    {
      std::lock_guard lock(mutex_);
      ++epoch_;
      processes_ = json::array();
      pids_ = json::object();
    }
    notify(kAudioHardwarePropertyServiceRestarted, kAudioObjectSystemObject,
           toldFirst ? nullptr : wentAway);
    // The agent has run the news once it follows the new server; one that never does ends.
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [] { return agentEpoch_ == epoch_; });
    if (toldFirst) wentAway();
  }

  // Under mutex_: what the servers before this one made goes, its listeners and its IO too.
  static void wentAway() {
    std::erase_if(listeners_, [](const Listener& l) { return l.epoch < epoch_; });
    liveSince_ = epoch_;
  }

  // Waits until the agent's queue has run what was posted before: once it listens.
  static void sync() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [] { return agentQueue_ != nullptr; });
    const std::uint64_t token = ++syncsPosted_;
    agentQueue_->post([token] {
      {
        std::lock_guard inner(mutex_);
        syncsDone_ = std::max(syncsDone_, token);
      }
      wake_.notify_all();
    });
    wake_.wait(lock, [&] { return syncsDone_ >= token; });
  }

  // Posts a job that keeps the agent's queue busy until released, once it runs.
  static void hold() {
    std::unique_lock lock(mutex_);
    if (agentQueue_ == nullptr) return;
    holding_ = true;
    bool held = false;
    agentQueue_->post([&held] {
      std::unique_lock inner(mutex_);
      held = true;
      wake_.notify_all();
      wake_.wait(inner, [] { return !holding_; });
    });
    wake_.wait(lock, [&] { return held; });
  }

  static inline bool opened_ = false;  // main thread
  static inline json script_;
  static inline pid_t parent_;
  static inline CallLog log{json::object()};
  static inline std::vector<unsigned char> source_;
  static inline std::size_t sourceAt_ = 0;  // IO thread

  static inline std::mutex mutex_;
  static inline std::condition_variable wake_;
  static inline std::vector<Listener> listeners_;
  static inline DispatchQueue* agentQueue_ = nullptr;
  static inline std::uint32_t agentEpoch_ = 0;
  static inline FormatReply readReply_;    // what 'tfmt' reads give now
  static inline FormatReply streamReply_;  // what deliveries are made in
  static inline json processes_;           // [[object, pid]]
  static inline json pids_;                // what 'id2p' gives: {pid: object}
  static inline bool holding_ = false;
  static inline bool changedAfterRead_ = false;
  static constexpr HostClock clock_{125, 3};  // Apple silicon's: ns = ticks * 125 / 3
  static inline bool soundModel_ = false;     // lists carry sound only while a tapped process plays
  static inline bool silentTap_ = false;      // every list carries zeros
  static inline bool grownAfterSize_ = false;
  static inline bool staled_ = false;
  static inline std::set<AudioObjectID> stale_;  // objects whose processes reconnected
  static inline int deviceGoing_ = 0;            // tries the tap refuses to go for
  static inline std::set<AudioObjectID> playing_;
  static inline std::vector<AudioObjectID> tapped_;  // the tap's processes
  static inline bool globalTap_ = false;
  static inline std::uint64_t syncsPosted_ = 0;
  static inline std::uint64_t syncsDone_ = 0;
  static inline std::uint32_t epoch_ = 0;      // the servers that went away
  static inline std::uint32_t liveSince_ = 0;  // the first server whose objects live
  static inline AudioObjectID tap_ = kAudioObjectUnknown;
  static inline AudioObjectID device_ = kAudioObjectUnknown;
  static inline AudioObjectID running_ = kAudioObjectUnknown;  // the device whose IO runs
  static inline std::atomic<std::int64_t> slept_{0};           // ns

  static inline AudioDeviceIOBlock block_;
  static inline AudioDeviceIOProcID procID_ = nullptr;
  static inline std::chrono::microseconds pace_{0};
  static inline std::uint64_t sampleTime_ = 0;  // IO thread
  static inline double hostTime_ = 1e9;  // IO thread: nanoseconds, stamped in the clock's ticks
  static inline std::thread steps_;
  static inline std::thread joins_;
  static inline std::thread notifier_;
};

}  // namespace
}  // namespace quenwick

int main(int argc, char** argv) {
  nlohmann::json script = quenwick::readLayerScript();
  const quenwick::Backends backends{quenwick::coreAudioBackend(
      [&script] { return std::make_unique<quenwick::ScriptedAudioHardware>(script); })};
  quenwick::finish(
      quenwick::runAgent(argc, argv, backends, quenwick::ScriptedAudioHardware::slept));
}
