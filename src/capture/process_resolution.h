// Turns the requested process ids into the audio layer's process objects.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/audio_hardware.h"
#include "capture/process_targets.h"

namespace quenwick {

// What the layer said: the objects, or that the layer itself could not be reached (its status).
// A pid that is not an audio process is no failure: it has no object.
struct ProcessObjects {
  std::vector<AudioObjectID> objects;
  OSStatus unreachable = kAudioHardwareNoError;
};

// Processes mode: the objects of the pids that resolve, in their order, duplicates kept.
ProcessObjects resolveProcessList(AudioHardware& hardware, const std::vector<std::int32_t>& pids);

// Global mode: the object of `excludeSelf` (when not 0), then that of `parentPid`, each only
// when it resolves.
ProcessObjects resolveExclusionList(AudioHardware& hardware, std::int32_t excludeSelf,
                                    std::int32_t parentPid);

// The objects, in the layer's process list, of every process that `targets` covers: the list a
// tap needs now. Nothing when the layer cannot list its processes.
std::optional<std::vector<AudioObjectID>> coveredProcessObjects(AudioHardware& hardware,
                                                                const ProcessTargets& targets,
                                                                OSStatus* status = nullptr);

}  // namespace quenwick
