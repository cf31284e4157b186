#include "capture/pipewire/pipewire_library.h"

#include <dlfcn.h>

#include <string>

namespace quenwick::pipewire {
namespace {

constexpr const char* kWhatToInstall =
    "the package libpipewire-0.3-0 on Debian and Ubuntu, pipewire-libs on Fedora";

PipeWireFunctions functions;

std::optional<CaptureFailure> open() {
  // Local: nothing of the agent's own resolves against it; PipeWire's modules link it themselves.
  void* library = dlopen(kPipeWireLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* said = dlerror();
    return CaptureFailure{std::string("could not load PipeWire: ") + kPipeWireLibrary +
                          " cannot be opened (" + (said ? said : "no reason given") +
                          "). Install PipeWire's client library: " + kWhatToInstall + "."};
  }
  // Every function is taken before any is called: a library that lacks one is refused whole.
  PipeWireFunctions taken;
  std::string lacking;
#define QUENWICK_PIPEWIRE_TAKE(name)                                                \
  taken.name = reinterpret_cast<decltype(taken.name)>(dlsym(library, "pw_" #name)); \
  if (taken.name == nullptr) lacking += (lacking.empty() ? "pw_" : ", pw_") + std::string(#name);
  QUENWICK_PIPEWIRE_FUNCTIONS(QUENWICK_PIPEWIRE_TAKE)
#undef QUENWICK_PIPEWIRE_TAKE
  if (!lacking.empty()) {
    dlclose(library);
    return CaptureFailure{std::string("could not load PipeWire: ") + kPipeWireLibrary + " lacks " +
                          lacking + ". Install a newer PipeWire client library: " + kWhatToInstall +
                          "."};
  }
  functions = taken;
  return std::nullopt;
}

}  // namespace

std::optional<CaptureFailure> loadPipeWire() {
  static const std::optional<CaptureFailure> loaded = open();
  return loaded;
}

const PipeWireFunctions& pw() {
  return functions;
}

}  // namespace quenwick::pipewire
