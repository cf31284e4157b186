// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// Object ids, property addresses, scopes and error codes (AudioHardwareBase.h). The platform
// spells its constant enums CF_ENUM(type); they are written out as enum : type here.
#pragma once
#pragma clang system_header

#include <CoreAudioTypes/CoreAudioTypes.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
};
typedef struct AudioObjectPropertyAddress AudioObjectPropertyAddress;

enum : OSStatus {
  kAudioHardwareNoError = 0,
};

enum : AudioObjectID { kAudioObjectUnknown = 0 };

enum : AudioObjectPropertyScope {
  kAudioObjectPropertyScopeGlobal = 'glob',
};

enum : AudioObjectPropertyElement { kAudioObjectPropertyElementMain = 0 };

enum : AudioObjectPropertySelector {
  kAudioDevicePropertyNominalSampleRate = 'nsrt',
};

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END
