// The Core Audio backend: the capture interface as Core Audio's sequence of process taps, in
// portable C++ over the backend's own seam (audio_hardware.h). The requested pids become
// process objects, the tap hears them (or the whole system but them) and follows the targets
// through Core Audio's process list; a private aggregate device carries the tap; two listeners
// follow its format; an IO proc delivers each cycle; SIGTERM stops the device and destroys the
// IO proc, the device and the tap, in that order. Failures are worded as Core Audio's
// (core_audio_words.h).
#pragma once

#include <memory>

#include "capture/capture.h"
#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// Listeners other than the format's are delivered on the queue given to listen(), which must
// outlive the capture; so must `hardware`'s calls.
std::unique_ptr<Capture> makeCoreAudioCapture(std::unique_ptr<AudioHardware> hardware);

}  // namespace quenwick
