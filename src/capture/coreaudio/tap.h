// The process tap: the audio layer's object through which the agent hears other processes.
#pragma once

#include <vector>

#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// The description of the one tap: the listed processes mixed to stereo (processes mode), or the
// whole system but the listed processes (global mode); named, private, and unmuted, so that
// the tapped processes go on playing where they play.
TapDescription makeTapDescription(bool global, std::vector<AudioObjectID> processes);

}  // namespace quenwick
