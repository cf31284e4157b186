// The statuses the PipeWire layer returns: Core Audio's codes for the same conditions, so that a
// message names a failure the same way on either platform.
#pragma once

#include "capture/audio_hardware.h"

namespace quenwick::pipewire {

// The server refused or did not finish what was asked in time.
inline constexpr OSStatus kAudioHardwareUnspecifiedError = fourCharCode("what");
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = fourCharCode("who?");
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = fourCharCode("!siz");
inline constexpr OSStatus kAudioHardwareIllegalOperationError = fourCharCode("nope");
inline constexpr OSStatus kAudioHardwareBadObjectError = fourCharCode("!obj");
inline constexpr OSStatus kAudioHardwareBadDeviceError = fourCharCode("!dev");

}  // namespace quenwick::pipewire
