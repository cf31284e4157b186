#include "capture/pulseaudio/pulse_library.h"

#include "capture/linux/runtime_library.h"

namespace quenwick::pulseaudio {
namespace {

PulseFunctions functions;

constexpr const char* kNames[] = {
#define QUENWICK_PULSE_NAME(name) "pa_" #name,
    QUENWICK_PULSE_FUNCTIONS(QUENWICK_PULSE_NAME)
#undef QUENWICK_PULSE_NAME
};

}  // namespace

std::optional<CaptureFailure> loadPulse() {
  static const std::optional<CaptureFailure> loaded =
      openRuntimeTable(functions,
                       {"PulseAudio", kPulseLibrary,
                        "the package libpulse0 on Debian and Ubuntu, pulseaudio-libs on Fedora"},
                       kNames);
  return loaded;
}

const PulseFunctions& pa() {
  return functions;
}

}  // namespace quenwick::pulseaudio
