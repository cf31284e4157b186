// The Core Audio backend: the capture interface as Core Audio's sequence of process taps, in
// portable C++ over the backend's own seam (audio_hardware.h). The requested pids become
// process objects, the tap hears them (or the whole system but them) and follows the targets
// through Core Audio's process list; a private aggregate device carries the tap; two listeners
// follow its format; an IO proc delivers each cycle; SIGTERM stops the device and destroys the
// IO proc, the device and the tap, in that order. Failures are worded as Core Audio's
// (core_audio_words.h). The delivering thread is what Core Audio calls the device's IO thread:
// the HAL's real-time thread, which runs the IO proc once per IO cycle.
#pragma once

#include <functional>
#include <memory>

#include "capture/backend.h"
#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// "coreaudio", on the hardware that `makeHardware` gives. Core Audio is part of every Mac that
// has process taps, so it always serves: an audio server that does not answer is told in Core
// Audio's own words at the first look at the processes. Listeners other than the format's are
// delivered on the queue given to listen(), which must outlive the capture; so must the
// hardware's calls.
Backend coreAudioBackend(std::function<std::unique_ptr<AudioHardware>()> makeHardware);

}  // namespace quenwick
