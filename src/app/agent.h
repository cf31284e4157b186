// The agent's whole life: start-up sequence, then the main run loop.
#pragma once

#include <functional>
#include <memory>

#include "capture/capture.h"

namespace quenwick {

using CaptureFactory = std::function<std::unique_ptr<Capture>()>;

// Parses the command line (argv[0] is the program path), opens the platform's capture with
// `openCapture` (only once the command line is known to be good), starts capturing and serves
// the main queue. Never returns: every way out ends the process with its status.
[[noreturn]] void runAgent(int argc, char** argv, const CaptureFactory& openCapture);

}  // namespace quenwick
