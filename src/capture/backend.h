// The backends a platform can capture with, tried in order at run time, as cubeb_init walks its
// init[] table: the first that can serve this machine is the one run control commits to.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "capture/capture.h"

namespace quenwick {

// A capture of a backend that can serve this machine.
struct OpenedCapture {
  std::unique_ptr<Capture> capture;
  // false: the server answers but carries no audio at all, as the PipeWire that only shares
  // screens beside Ubuntu 22.04's PulseAudio. Such a backend serves only where no later one
  // carries any.
  bool carriesAudio = true;
};

struct Backend {
  // The backend's name for the host (the "backend" event): "pipewire", "pulseaudio",
  // "coreaudio", "loopback".
  std::string name;
  // Opens a capture once this machine is known to be one the backend can serve: its library
  // loads, its server answers. Otherwise says why, in the words the user reads. Main thread,
  // once the command line is known to be good.
  std::function<std::variant<OpenedCapture, CaptureFailure>()> open;
};

// In the order they are tried; the first is the platform's usual one.
using Backends = std::vector<Backend>;

// This platform's list: backends-linux.cpp, backends-darwin.cpp, backends-win32.cpp.
Backends platformBackends();

}  // namespace quenwick
