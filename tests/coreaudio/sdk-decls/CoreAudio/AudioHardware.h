// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// The functions, block types, selectors and dictionary keys of AudioHardware.h that the backend
// uses, as of the 14.2 SDK. Nullability is spelled _Nullable/_Nonnull: the platform's __nullable
// and __nonnull spellings exist only on Darwin, and glibc defines __nonnull(params) as a macro.
#pragma once
#pragma clang system_header

#include <Availability.h>
#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

enum : int { kAudioObjectSystemObject = 1 };

enum : AudioObjectPropertySelector {
  kAudioHardwarePropertyServiceRestarted = 'srst',
  kAudioHardwarePropertyTranslatePIDToProcessObject = 'id2p',
  kAudioHardwarePropertyProcessObjectList = 'prs#',
  kAudioHardwarePropertyRunLoop = 'rnlp',
};

enum : AudioObjectPropertySelector {
  kAudioTapPropertyDescription = 'tdsc',
  kAudioTapPropertyFormat = 'tfmt',
};

enum : AudioObjectPropertySelector {
  kAudioProcessPropertyPID = 'ppid',
};

#define kAudioAggregateDeviceUIDKey "uid"
#define kAudioAggregateDeviceNameKey "name"
#define kAudioAggregateDeviceIsPrivateKey "private"
#define kAudioAggregateDeviceTapListKey "taps"
#define kAudioAggregateDeviceTapAutoStartKey "tapautostart"
#define kAudioSubTapUIDKey "uid"
#define kAudioSubTapDriftCompensationKey "drift"

typedef void (^AudioObjectPropertyListenerBlock)(UInt32 inNumberAddresses,
                                                 const AudioObjectPropertyAddress* inAddresses);

extern OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           UInt32 inQualifierDataSize,
                                           const void* _Nullable inQualifierData,
                                           UInt32* ioDataSize, void* outData)
    __OSX_AVAILABLE_STARTING(__MAC_10_4, __IPHONE_2_0);

extern OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           UInt32 inQualifierDataSize,
                                           const void* _Nullable inQualifierData, UInt32 inDataSize,
                                           const void* inData)
    __OSX_AVAILABLE_STARTING(__MAC_10_4, __IPHONE_2_0);

extern OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                                    const AudioObjectPropertyAddress* inAddress,
                                                    dispatch_queue_t _Nullable inDispatchQueue,
                                                    AudioObjectPropertyListenerBlock inListener)
    __OSX_AVAILABLE_STARTING(__MAC_10_7, __IPHONE_7_0);

extern OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                       const AudioObjectPropertyAddress* inAddress,
                                                       dispatch_queue_t _Nullable inDispatchQueue,
                                                       AudioObjectPropertyListenerBlock inListener)
    __OSX_AVAILABLE_STARTING(__MAC_10_7, __IPHONE_7_0);

extern OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription,
                                                   AudioObjectID* outDeviceID)
    __OSX_AVAILABLE_STARTING(__MAC_10_9, __IPHONE_7_0);

extern OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID)
    __OSX_AVAILABLE_STARTING(__MAC_10_9, __IPHONE_7_0);

typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData,
                                      const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData,
                                      const AudioTimeStamp* inOutputTime,
                                      void* _Nullable inClientData);

typedef void (^AudioDeviceIOBlock)(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                   const AudioTimeStamp* inInputTime,
                                   AudioBufferList* outOutputData,
                                   const AudioTimeStamp* inOutputTime);

typedef AudioDeviceIOProc AudioDeviceIOProcID;

extern OSStatus AudioDeviceCreateIOProcIDWithBlock(
    AudioDeviceIOProcID _Nullable* _Nonnull outIOProcID, AudioObjectID inDevice,
    dispatch_queue_t _Nullable inDispatchQueue, AudioDeviceIOBlock inIOBlock)
    __OSX_AVAILABLE_STARTING(__MAC_10_7, __IPHONE_7_0);

extern OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID)
    __OSX_AVAILABLE_STARTING(__MAC_10_5, __IPHONE_2_0);

extern OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID)
    __OSX_AVAILABLE_STARTING(__MAC_10_0, __IPHONE_2_0);

extern OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID)
    __OSX_AVAILABLE_STARTING(__MAC_10_0, __IPHONE_2_0);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END
