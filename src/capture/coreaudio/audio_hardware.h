// The Core Audio backend's own seam: the calls of Core Audio's hardware layer that the backend
// makes, one operation each, in Core Audio's shapes: 32-bit object ids with 0 for none, 32-bit
// signed statuses with 0 for success, property addresses of three four-character codes. Two
// implementations answer it: the thin Objective-C++ translation to the framework (macOS), and
// the scripted layer in the tests, which models what Apple's headers say in every reading they
// allow. So every scripted test runs the code that macOS runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/coreaudio/audio_buffers.h"

namespace quenwick {

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr OSStatus kAudioHardwareNoError = 0;

// The 32-bit integer whose most significant byte is the code's first character.
consteval std::uint32_t fourCharCode(const char (&code)[5]) {
  return (std::uint32_t{static_cast<unsigned char>(code[0])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(code[1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(code[2])} << 8) |
         std::uint32_t{static_cast<unsigned char>(code[3])};
}

// The audio server is not running, or cannot be reached.
inline constexpr auto kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));
// The buffer given for a property's data is of the wrong size: too small for it, for one.
inline constexpr auto kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(fourCharCode("!siz"));

struct AudioObjectPropertyAddress {
  std::uint32_t mSelector;
  std::uint32_t mScope;
  std::uint32_t mElement;
  friend bool operator==(const AudioObjectPropertyAddress&,
                         const AudioObjectPropertyAddress&) = default;
};

inline constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;
// On the system object: translate a process id (qualifier, 32-bit) to a process object id.
inline constexpr std::uint32_t kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCharCode("id2p");
// On a tap: its stream format, one AudioStreamBasicDescription.
inline constexpr std::uint32_t kAudioTapPropertyFormat = fourCharCode("tfmt");
// On a device: its nominal sample rate; the agent only listens to it.
inline constexpr std::uint32_t kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
// On the system object: the audio server restarted or went away; every object made is gone.
inline constexpr std::uint32_t kAudioHardwarePropertyServiceRestarted = fourCharCode("srst");
// On the system object: the process objects of every process the layer knows now.
inline constexpr std::uint32_t kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
// On a process object: its pid, a 32-bit signed integer.
inline constexpr std::uint32_t kAudioProcessPropertyPID = fourCharCode("ppid");
// On a process object: a 32-bit 1 while the process runs IO with at least one active output
// stream, else 0.
inline constexpr std::uint32_t kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");
// On a tap: its description, written to change the processes of a tap that exists; the data is
// a pointer to the TapDescription, as Core Audio's is a pointer to a CATapDescription.
inline constexpr std::uint32_t kAudioTapPropertyDescription = fourCharCode("tdsc");
// On the system object: a 32-bit 1 lets the machine idle-sleep while this process runs IO (the
// audio layer keeps it awake otherwise); forced sleep comes either way.
inline constexpr std::uint32_t kAudioHardwarePropertySleepingIsAllowed = fourCharCode("slep");

inline constexpr AudioObjectPropertyAddress globalAddress(std::uint32_t selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// Opaque handle of an installed IO block; null means none.
using AudioDeviceIOProcID = void*;

enum class TapMuteBehavior : std::int64_t { unmuted = 0, muted = 1, mutedWhenTapped = 2 };

// What a CATapDescription holds: built by one of its two initialisers, then named, made
// private and given a mute behaviour. Like the platform's own description, it carries a
// random UUID from the moment it is built.
struct TapDescription {
  enum class Kind { stereoMixdownOfProcesses, stereoGlobalTapButExcludeProcesses };

  Kind kind = Kind::stereoMixdownOfProcesses;
  std::vector<AudioObjectID> processes;  // included (mixdown) or excluded (global)
  std::string name;
  bool isPrivate = false;
  TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;
  std::string uuid;  // 36 characters, upper-case hexadecimal

  static TapDescription stereoMixdownOfProcesses(std::vector<AudioObjectID> processes);
  static TapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes);
};

// One entry of an aggregate device's tap list.
struct SubTapDescription {
  std::string uid;
  bool drift = false;
};

// The aggregate device's description dictionary, with exactly the keys the agent gives it:
// "name", "uid", "private", "tapautostart" and "taps".
struct AggregateDeviceDescription {
  std::string name;
  std::string uid;
  bool isPrivate = false;
  bool tapAutoStart = false;
  std::vector<SubTapDescription> taps;
};

// When a cycle was captured: mHostTime counts mach_absolute_time's ticks (HostClock), mSampleTime
// the device's frames.
struct AudioTimeStamp {
  double mSampleTime;
  std::uint64_t mHostTime;
  double mRateScalar;
  std::uint64_t mWordClockTime;
  unsigned char mSMPTETime[24];
  std::uint32_t mFlags;
  std::uint32_t mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 64);

inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 1u << 1;

// The host clock's unit, that of AudioTimeStamp::mHostTime: nanoseconds = ticks * numer / denom.
struct HostClock {
  std::uint32_t numer = 1;
  std::uint32_t denom = 1;
};

using AudioObjectPropertyListener =
    std::function<void(std::uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses)>;

// Runs on the delivering thread, once per IO cycle, with the layer's five arguments. The block
// must never wait.
using AudioDeviceIOBlock = std::function<void(
    const AudioTimeStamp* now, const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
    AudioBufferList* outputData, const AudioTimeStamp* outputTime)>;

class AudioHardware {
 public:
  // Removes every listener added through this object: none runs once this returns, not even one
  // already handed to its queue.
  virtual ~AudioHardware() = default;

  // The unit of the host times in the IO cycles' time stamps (mach_absolute_time's).
  virtual HostClock hostClock() const = 0;

  virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t qualifierDataSize, const void* qualifierData,
                                       std::uint32_t* outDataSize) = 0;

  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierDataSize, const void* qualifierData,
                                   std::uint32_t* ioDataSize, void* outData) = 0;

  virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierDataSize, const void* qualifierData,
                                   std::uint32_t dataSize, const void* data) = 0;
  virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;

  virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                         AudioObjectID* outDeviceID) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

  // The listener runs on `queue` after each change of the property.
  virtual OSStatus addPropertyListener(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       DispatchQueue& queue,
                                       AudioObjectPropertyListener listener) = 0;

  // No dispatch queue: the block runs directly on the delivering thread.
  virtual OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOBlock block,
                                  AudioDeviceIOProcID* outProcID) = 0;
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

  virtual OSStatus start(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus stop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
};

}  // namespace quenwick
