// Turns the requested process ids into the audio layer's process objects.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/audio_hardware.h"
#include "capture/process_targets.h"

namespace quenwick {

// The process object of `pid`, or nothing while the audio layer does not count it as an audio
// process. Asks the layer once and keeps nothing.
std::optional<AudioObjectID> processObject(AudioHardware& hardware, std::int32_t pid);

// Processes mode: the objects of the pids that resolve, in their order, duplicates kept.
std::vector<AudioObjectID> resolveProcessList(AudioHardware& hardware,
                                              const std::vector<std::int32_t>& pids);

// Global mode: the object of `excludeSelf` (when not 0), then that of `parentPid`, each only
// when it resolves.
std::vector<AudioObjectID> resolveExclusionList(AudioHardware& hardware, std::int32_t excludeSelf,
                                                std::int32_t parentPid);

// The objects, in the layer's process list, of every process that `targets` covers: the list a
// tap needs now. Nothing when the layer cannot list its processes.
std::optional<std::vector<AudioObjectID>> coveredProcessObjects(AudioHardware& hardware,
                                                                const ProcessTargets& targets);

}  // namespace quenwick
