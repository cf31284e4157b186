#include "capture/backend.h"
#include "capture/pipewire/pipewire_capture.h"

namespace quenwick {

Backends platformBackends() {
  return {pipeWireBackend()};
}

}  // namespace quenwick
