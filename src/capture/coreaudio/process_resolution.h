// Turns processes into Core Audio's process objects: the requested pids one by one, or every
// process object whose process the targets cover.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/coreaudio/audio_hardware.h"
#include "capture/process_targets.h"

namespace quenwick {

// What Core Audio said: the objects, and the status of a call that could not be answered.
struct ProcessObjects {
  std::vector<AudioObjectID> objects;
  OSStatus status = kAudioHardwareNoError;
};

// The object of each pid that is an audio process now and the very process `targets` hold, in
// the pids' order, each object once: a tap given one object twice may refuse it, or hear it
// twice as loud. A pid that is not one has no object and is no failure; a call that fails (a
// server that is not running, for one) stops the resolution with its status.
ProcessObjects resolvePids(AudioHardware& hardware, const std::vector<std::int32_t>& pids,
                           const ProcessTargets& targets);

// Core Audio's process list: every process object it knows now.
ProcessObjects processList(AudioHardware& hardware);

// The objects, in Core Audio's process list, of every process that `targets` covers: the list a
// tap needs now. Empty, with the status, when the list cannot be read.
ProcessObjects coveredProcessObjects(AudioHardware& hardware, const ProcessTargets& targets);

// The pid of a process object; nothing when Core Audio does not say.
std::optional<std::int32_t> pidOf(AudioHardware& hardware, AudioObjectID object);

}  // namespace quenwick
