#include "capture/backend.h"
#include "capture/pipewire/pipewire_capture.h"
#include "capture/pulseaudio/pulse_capture.h"

namespace quenwick {

// PipeWire first: where it carries audio, PulseAudio is not even looked at.
Backends platformBackends() {
  return {pipeWireBackend(), pulseAudioBackend()};
}

}  // namespace quenwick
