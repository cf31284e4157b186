#include "capture/backend.h"
#include "capture/loopback/loopback_capture.h"
#include "capture/loopback/windows_audio_com.h"

namespace quenwick {

Backends platformBackends() {
  return {loopback::loopbackBackend(loopback::makeWindowsAudio)};
}

}  // namespace quenwick
