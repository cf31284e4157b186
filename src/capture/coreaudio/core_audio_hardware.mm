// The Core Audio backend's seam over the framework itself (Objective-C++, ARC).
//
// Each operation is the Core Audio call of the same name. This file only translates: the
// seam's value types become a CATapDescription or an aggregate device dictionary, its
// std::function callbacks become blocks. The interface keeps Core Audio's records bit for bit
// (checked below), so buffer lists and time stamps pass between the two without copying.
//
// Threads:
// - IO blocks are installed with no dispatch queue, so Core Audio calls them directly on the
//   delivering thread. The block it holds does nothing but call the caller's function, which
//   this backend keeps on the heap until the IO proc is destroyed: no allocation, no lock and no
//   Objective-C message per IO cycle. The caller's function never waits (the agent's PCM output
//   queues what a slow host cannot take), so the delivering thread, and the AudioDeviceStop that
//   waits for it, never wait on the host.
// - Property listener blocks are delivered on a private serial dispatch queue of this backend,
//   which copies the changed addresses and posts the caller's listener to the caller's queue
//   (the agent's main queue, or one that runs it on the spot). The agent's main thread serves its
//   own loop, not the dispatch main queue, so Core Audio must not deliver there; and Core Audio's
//   notification threads never wait on the agent's queue lock, since only our serial queue posts
//   to it, in order.
// - Destroying the seam removes every listener it added and waits for a block already running on
//   the serial queue: from then on none of the caller's listeners runs, not even one that was
//   posted to the caller's queue before.

#include "capture/coreaudio/core_audio_hardware.h"

#include <mach/mach_time.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

#if !__has_feature(objc_arc)
#error "core_audio_hardware.mm manages its Objective-C objects with ARC: build it with -fobjc-arc"
#endif

// The interface's records must be Core Audio's own, field for field.
#define QUENWICK_SAME_FIELD(record, field)                                        \
  static_assert(offsetof(::record, field) == offsetof(quenwick::record, field) && \
                    sizeof(::record::field) == sizeof(quenwick::record::field),   \
                #record "::" #field " does not match Core Audio's")
#define QUENWICK_SAME_RECORD(record)                                \
  static_assert(sizeof(::record) == sizeof(quenwick::record) &&     \
                    alignof(::record) == alignof(quenwick::record), \
                #record " does not match Core Audio's")

QUENWICK_SAME_RECORD(AudioStreamBasicDescription);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mSampleRate);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mFormatID);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mFormatFlags);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mBytesPerPacket);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mFramesPerPacket);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mBytesPerFrame);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mChannelsPerFrame);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mBitsPerChannel);
QUENWICK_SAME_FIELD(AudioStreamBasicDescription, mReserved);

QUENWICK_SAME_RECORD(AudioBuffer);
QUENWICK_SAME_FIELD(AudioBuffer, mNumberChannels);
QUENWICK_SAME_FIELD(AudioBuffer, mDataByteSize);
QUENWICK_SAME_FIELD(AudioBuffer, mData);

QUENWICK_SAME_RECORD(AudioBufferList);
QUENWICK_SAME_FIELD(AudioBufferList, mNumberBuffers);
QUENWICK_SAME_FIELD(AudioBufferList, mBuffers);

QUENWICK_SAME_RECORD(AudioObjectPropertyAddress);
QUENWICK_SAME_FIELD(AudioObjectPropertyAddress, mSelector);
QUENWICK_SAME_FIELD(AudioObjectPropertyAddress, mScope);
QUENWICK_SAME_FIELD(AudioObjectPropertyAddress, mElement);

QUENWICK_SAME_RECORD(AudioTimeStamp);
QUENWICK_SAME_FIELD(AudioTimeStamp, mSampleTime);
QUENWICK_SAME_FIELD(AudioTimeStamp, mHostTime);
QUENWICK_SAME_FIELD(AudioTimeStamp, mRateScalar);
QUENWICK_SAME_FIELD(AudioTimeStamp, mWordClockTime);
QUENWICK_SAME_FIELD(AudioTimeStamp, mSMPTETime);
QUENWICK_SAME_FIELD(AudioTimeStamp, mFlags);
QUENWICK_SAME_FIELD(AudioTimeStamp, mReserved);

#undef QUENWICK_SAME_FIELD
#undef QUENWICK_SAME_RECORD

static_assert(std::is_same_v<quenwick::AudioObjectID, ::AudioObjectID>);
static_assert(std::is_same_v<quenwick::OSStatus, ::OSStatus>);
static_assert(std::is_same_v<std::uint32_t, ::UInt32>);
static_assert(sizeof(quenwick::AudioDeviceIOProcID) == sizeof(::AudioDeviceIOProcID));

static_assert(quenwick::kAudioObjectUnknown == ::kAudioObjectUnknown);
static_assert(quenwick::kAudioObjectSystemObject == ::kAudioObjectSystemObject);
static_assert(quenwick::kAudioHardwareNoError == ::kAudioHardwareNoError);
static_assert(quenwick::kAudioObjectPropertyScopeGlobal == ::kAudioObjectPropertyScopeGlobal);
static_assert(quenwick::kAudioObjectPropertyElementMain == ::kAudioObjectPropertyElementMain);
static_assert(quenwick::kAudioHardwarePropertyTranslatePIDToProcessObject ==
              ::kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(quenwick::kAudioTapPropertyFormat == ::kAudioTapPropertyFormat);
static_assert(quenwick::kAudioDevicePropertyNominalSampleRate ==
              ::kAudioDevicePropertyNominalSampleRate);
static_assert(quenwick::kAudioHardwarePropertyProcessObjectList ==
              ::kAudioHardwarePropertyProcessObjectList);
static_assert(quenwick::kAudioProcessPropertyPID == ::kAudioProcessPropertyPID);
static_assert(quenwick::kAudioProcessPropertyIsRunningOutput ==
              ::kAudioProcessPropertyIsRunningOutput);
static_assert(quenwick::kAudioHardwareBadPropertySizeError == ::kAudioHardwareBadPropertySizeError);
static_assert(quenwick::kAudioHardwareNotRunningError == ::kAudioHardwareNotRunningError);
static_assert(quenwick::kAudioTapPropertyDescription == ::kAudioTapPropertyDescription);
static_assert(quenwick::kAudioHardwarePropertySleepingIsAllowed ==
              ::kAudioHardwarePropertySleepingIsAllowed);
static_assert(quenwick::kAudioHardwarePropertyServiceRestarted ==
              ::kAudioHardwarePropertyServiceRestarted);
static_assert(quenwick::kAudioFormatFlagIsFloat == ::kAudioFormatFlagIsFloat);
static_assert(quenwick::kAudioFormatFlagIsNonInterleaved == ::kAudioFormatFlagIsNonInterleaved);
static_assert(static_cast<NSInteger>(quenwick::TapMuteBehavior::unmuted) == CATapUnmuted);
static_assert(static_cast<NSInteger>(quenwick::TapMuteBehavior::muted) == CATapMuted);
static_assert(static_cast<NSInteger>(quenwick::TapMuteBehavior::mutedWhenTapped) ==
              CATapMutedWhenTapped);

namespace quenwick {
namespace {

// Core Audio's answer to a malformed argument (paramErr).
constexpr OSStatus kParameterError = -50;

::AudioObjectPropertyAddress toCoreAudio(const AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

// nil when `text` is not valid UTF-8.
NSString* toNSString(const std::string& text) {
  return @(text.c_str());
}

// The header asks for a CFNumber, 0 or not, for these keys: @YES would be a CFBoolean, which a
// reader that takes numbers may not count as set (an aggregate made public for all to see).
NSNumber* flag(bool on) {
  return [NSNumber numberWithInt:on ? 1 : 0];
}

NSArray<NSNumber*>* toNSArray(const std::vector<AudioObjectID>& objects) {
  NSMutableArray<NSNumber*>* array = [NSMutableArray arrayWithCapacity:objects.size()];
  for (AudioObjectID object : objects) [array addObject:@(object)];
  return array;
}

// The platform's description of a tap, with the caller's UUID (the aggregate device names its
// tap by it, and a changed description must keep it), or nil when a string is not UTF-8.
CATapDescription* makeTapDescription(const TapDescription& description) {
  NSUUID* uuid = [[NSUUID alloc] initWithUUIDString:toNSString(description.uuid)];
  NSString* name = toNSString(description.name);
  if (uuid == nil || name == nil) return nil;
  NSArray<NSNumber*>* processes = toNSArray(description.processes);
  CATapDescription* tap =
      description.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses
          ? [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:processes]
          : [[CATapDescription alloc] initStereoMixdownOfProcesses:processes];
  [tap setName:name];
  [tap setPrivate:static_cast<BOOL>(description.isPrivate)];
  [tap setMuteBehavior:static_cast<CATapMuteBehavior>(description.muteBehavior)];
  [tap setUUID:uuid];
  return tap;
}

class CoreAudioHardware final : public AudioHardware {
 public:
  CoreAudioHardware()
      : listenerQueue_(
            dispatch_queue_create("quenwick.property-listeners", DISPATCH_QUEUE_SERIAL)) {
    // The HAL takes its notifications through the run loop named here, by default the main
    // thread's. The agent's main thread serves a loop of its own and never runs that one, so the
    // format listeners might never fire; with none named, the HAL uses a thread of its own. Should
    // the HAL refuse, the agent runs on, as it does when a listener cannot be installed.
    const CFRunLoopRef none = nullptr;
    const ::AudioObjectPropertyAddress runLoop = {kAudioHardwarePropertyRunLoop,
                                                  kAudioObjectPropertyScopeGlobal,
                                                  kAudioObjectPropertyElementMain};
    ::AudioObjectSetPropertyData(kAudioObjectSystemObject, &runLoop, 0, nullptr, sizeof none,
                                 &none);
  }

  // Core Audio keeps a block until its listener is removed, and on a server that restarted the
  // removal may fail; the flag keeps such a block from reaching its caller.
  ~CoreAudioHardware() override {
    alive_->store(false);
    for (const Listening& listening : listening_) {
      ::AudioObjectRemovePropertyListenerBlock(listening.object, &listening.address, listenerQueue_,
                                               listening.block);
    }
    // A block already running on the serial queue ends before the seam does.
    dispatch_sync_f(listenerQueue_, nullptr, [](void*) {});
  }

  CoreAudioHardware(const CoreAudioHardware&) = delete;
  CoreAudioHardware& operator=(const CoreAudioHardware&) = delete;

  // mHostTime counts mach_absolute_time: nanoseconds on Intel, 125/3 ns a tick on Apple silicon.
  HostClock hostClock() const override {
    mach_timebase_info_data_t timebase{};
    if (mach_timebase_info(&timebase) != 0 || timebase.numer == 0 || timebase.denom == 0) {
      return {};
    }
    return {timebase.numer, timebase.denom};
  }

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierDataSize, const void* qualifierData,
                               std::uint32_t* outDataSize) override {
    const ::AudioObjectPropertyAddress coreAddress = toCoreAudio(address);
    return ::AudioObjectGetPropertyDataSize(object, &coreAddress, qualifierDataSize, qualifierData,
                                            outDataSize);
  }

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierDataSize, const void* qualifierData,
                           std::uint32_t* ioDataSize, void* outData) override {
    const ::AudioObjectPropertyAddress coreAddress = toCoreAudio(address);
    return ::AudioObjectGetPropertyData(object, &coreAddress, qualifierDataSize, qualifierData,
                                        ioDataSize, outData);
  }

  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierDataSize, const void* qualifierData,
                           std::uint32_t dataSize, const void* data) override {
    const ::AudioObjectPropertyAddress coreAddress = toCoreAudio(address);
    if (address.mSelector != kAudioTapPropertyDescription) {
      return ::AudioObjectSetPropertyData(object, &coreAddress, qualifierDataSize, qualifierData,
                                          dataSize, data);
    }
    // Our description stands where Core Audio's object goes: a pointer to it.
    if (dataSize != sizeof(const TapDescription*)) return kParameterError;
    @autoreleasepool {
      CATapDescription* tap = makeTapDescription(**static_cast<const TapDescription* const*>(data));
      if (tap == nil) return kParameterError;
      return ::AudioObjectSetPropertyData(object, &coreAddress, 0, nullptr, sizeof tap, &tap);
    }
  }

  OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID) override {
    @autoreleasepool {
      CATapDescription* tap = makeTapDescription(description);
      if (tap == nil) return kParameterError;
      return ::AudioHardwareCreateProcessTap(tap, outTapID);
    }
  }

  OSStatus destroyProcessTap(AudioObjectID tapID) override {
    return ::AudioHardwareDestroyProcessTap(tapID);
  }

  OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                 AudioObjectID* outDeviceID) override {
    @autoreleasepool {
      NSMutableArray<NSDictionary*>* taps =
          [NSMutableArray arrayWithCapacity:description.taps.size()];
      for (const SubTapDescription& subTap : description.taps) {
        NSString* uid = toNSString(subTap.uid);
        if (uid == nil) return kParameterError;
        [taps addObject:@{
          @kAudioSubTapUIDKey : uid,
          @kAudioSubTapDriftCompensationKey : flag(subTap.drift),
        }];
      }
      NSString* name = toNSString(description.name);
      NSString* uid = toNSString(description.uid);
      if (name == nil || uid == nil) return kParameterError;

      NSDictionary* composition = @{
        @kAudioAggregateDeviceNameKey : name,
        @kAudioAggregateDeviceUIDKey : uid,
        @kAudioAggregateDeviceIsPrivateKey : flag(description.isPrivate),
        @kAudioAggregateDeviceTapAutoStartKey : flag(description.tapAutoStart),
        @kAudioAggregateDeviceTapListKey : taps,
      };
      return ::AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)composition,
                                                  outDeviceID);
    }
  }

  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override {
    return ::AudioHardwareDestroyAggregateDevice(deviceID);
  }

  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               DispatchQueue& queue,
                               AudioObjectPropertyListener listener) override {
    auto shared = std::make_shared<const AudioObjectPropertyListener>(std::move(listener));
    DispatchQueue* target = &queue;
    const ::AudioObjectPropertyAddress watched = toCoreAudio(address);
    std::shared_ptr<std::atomic<bool>> alive = alive_;
    AudioObjectPropertyListenerBlock block =
        ^(UInt32 numberAddresses, const ::AudioObjectPropertyAddress* addresses) {
          if (!alive->load()) return;
          // The addresses are Core Audio's only for the length of this call.
          std::vector<AudioObjectPropertyAddress> changed;
          changed.reserve(numberAddresses);
          for (UInt32 i = 0; i < numberAddresses; ++i) {
            changed.push_back({addresses[i].mSelector, addresses[i].mScope, addresses[i].mElement});
          }
          target->post([alive, shared, changed = std::move(changed)] {
            if (!alive->load()) return;
            (*shared)(static_cast<std::uint32_t>(changed.size()), changed.data());
          });
        };
    const OSStatus status =
        ::AudioObjectAddPropertyListenerBlock(object, &watched, listenerQueue_, block);
    if (status == kAudioHardwareNoError) listening_.push_back({object, watched, block});
    return status;
  }

  OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOBlock block,
                          AudioDeviceIOProcID* outProcID) override {
    auto owned = std::make_unique<const AudioDeviceIOBlock>(std::move(block));
    const AudioDeviceIOBlock* forward = owned.get();
    ::AudioDeviceIOProcID procID = nullptr;
    const OSStatus status = ::AudioDeviceCreateIOProcIDWithBlock(
        &procID, device, nullptr,
        ^(const ::AudioTimeStamp* now, const ::AudioBufferList* inputData,
          const ::AudioTimeStamp* inputTime, ::AudioBufferList* outputData,
          const ::AudioTimeStamp* outputTime) {
          (*forward)(reinterpret_cast<const AudioTimeStamp*>(now),
                     reinterpret_cast<const AudioBufferList*>(inputData),
                     reinterpret_cast<const AudioTimeStamp*>(inputTime),
                     reinterpret_cast<AudioBufferList*>(outputData),
                     reinterpret_cast<const AudioTimeStamp*>(outputTime));
        });
    *outProcID = std::bit_cast<AudioDeviceIOProcID>(procID);
    if (status == kAudioHardwareNoError && procID != nullptr) {
      ioBlocks_.emplace(*outProcID, std::move(owned));
    }
    return status;
  }

  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override {
    const OSStatus status =
        ::AudioDeviceDestroyIOProcID(device, std::bit_cast<::AudioDeviceIOProcID>(procID));
    // Only once Core Audio has let go of the block may the function it calls go. After a
    // refusal it may still be called, so it stays.
    if (status == kAudioHardwareNoError) ioBlocks_.erase(procID);
    return status;
  }

  OSStatus start(AudioObjectID device, AudioDeviceIOProcID procID) override {
    return ::AudioDeviceStart(device, std::bit_cast<::AudioDeviceIOProcID>(procID));
  }

  OSStatus stop(AudioObjectID device, AudioDeviceIOProcID procID) override {
    return ::AudioDeviceStop(device, std::bit_cast<::AudioDeviceIOProcID>(procID));
  }

 private:
  // A listener as Core Audio knows it, for its removal: the same block object.
  struct Listening {
    AudioObjectID object;
    ::AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerBlock block;
  };

  dispatch_queue_t listenerQueue_;
  // Whether the caller's listeners may still run; read on the serial queue and the caller's.
  const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  std::vector<Listening> listening_;  // main thread only
  // The functions that installed IO blocks call, by IO proc id. Main thread only.
  std::map<AudioDeviceIOProcID, std::unique_ptr<const AudioDeviceIOBlock>> ioBlocks_;
};

}  // namespace

std::unique_ptr<AudioHardware> makeCoreAudioHardware() {
  return std::make_unique<CoreAudioHardware>();
}

}  // namespace quenwick
