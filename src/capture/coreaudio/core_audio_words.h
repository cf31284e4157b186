// How a failure of Core Audio is worded: its status in signed decimal, and where a refused tap
// sends the user. Plain C++, shared by the Core Audio layer and the scripted layer that models it.
#pragma once

#include <string>

#include "capture/audio_hardware.h"

namespace quenwick {

std::string coreAudioFailureMessage(FailedStep step, OSStatus status);

}  // namespace quenwick
