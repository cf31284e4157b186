// The agent's whole life: start-up sequence, then the main run loop.
#pragma once

#include <functional>
#include <memory>

#include "capture/audio_hardware.h"

namespace quenwick {

using AudioLayerFactory = std::function<std::unique_ptr<AudioHardware>()>;

// Parses the command line (argv[0] is the program path), opens the audio layer with
// `openAudioLayer` (only once the command line is known to be good), builds the capture chain
// and serves the main queue. Never returns: every way out ends the process with its status.
[[noreturn]] void runAgent(int argc, char** argv, const AudioLayerFactory& openAudioLayer);

}  // namespace quenwick
