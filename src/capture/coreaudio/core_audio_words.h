// How a failure of Core Audio is worded: its status in signed decimal, and where a refused tap
// sends the user.
#pragma once

#include <string>

#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// The steps of the start whose failure the user hears of.
enum class FailedStep { reachLayer, createTap, createDevice, readFormat, attach, start };

std::string coreAudioFailureMessage(FailedStep step, OSStatus status);

// What a tap that hears only zeros while its processes play most likely means.
std::string coreAudioSilenceAdvice();

}  // namespace quenwick
