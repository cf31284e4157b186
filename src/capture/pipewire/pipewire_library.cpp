#include "capture/pipewire/pipewire_library.h"

#include "capture/linux/runtime_library.h"

namespace quenwick::pipewire {
namespace {

PipeWireFunctions functions;

constexpr const char* kNames[] = {
#define QUENWICK_PIPEWIRE_NAME(name) "pw_" #name,
    QUENWICK_PIPEWIRE_FUNCTIONS(QUENWICK_PIPEWIRE_NAME)
#undef QUENWICK_PIPEWIRE_NAME
};

}  // namespace

std::optional<CaptureFailure> loadPipeWire() {
  static const std::optional<CaptureFailure> loaded = openRuntimeTable(
      functions,
      {"PipeWire", kPipeWireLibrary,
       "the package libpipewire-0.3-0 on Debian and Ubuntu, pipewire-libs on Fedora"},
      kNames);
  return loaded;
}

const PipeWireFunctions& pw() {
  return functions;
}

}  // namespace quenwick::pipewire
