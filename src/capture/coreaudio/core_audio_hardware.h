// The Core Audio backend's seam over the framework: Core Audio and its process taps (macOS 14.2
// or later). The header is plain C++; the implementation is Objective-C++.
#pragma once

#include <memory>

#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// Every operation is one call of the framework; statuses and object ids come back as Core Audio
// gives them. Listeners are handed to the DispatchQueue given with them, which must outlive the
// calls. The operations other than the IO block itself are meant for the main thread.
std::unique_ptr<AudioHardware> makeCoreAudioHardware();

}  // namespace quenwick
