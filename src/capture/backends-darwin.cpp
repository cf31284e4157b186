#include "capture/backend.h"
#include "capture/coreaudio/core_audio_capture.h"
#include "capture/coreaudio/core_audio_hardware.h"

namespace quenwick {

Backends platformBackends() {
  return {coreAudioBackend(makeCoreAudioHardware)};
}

}  // namespace quenwick
