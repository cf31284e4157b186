// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// Process tap creation (AudioHardwareTapping.h, 14.2 SDK; Objective-C only).
#pragma once
#pragma clang system_header

#include <Availability.h>
#include <CoreAudio/AudioHardware.h>

@class CATapDescription;

CF_EXTERN_C_BEGIN
extern OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription,
                                              AudioObjectID* outTapID) API_AVAILABLE(macos(14.2))
    API_UNAVAILABLE(ios, watchos, tvos);

extern OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) API_AVAILABLE(macos(14.2))
    API_UNAVAILABLE(ios, watchos, tvos);

CF_EXTERN_C_END
