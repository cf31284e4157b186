// What the test sink receives, recorded from its monitor by pw-record, and whether that recording
// is the player's signal without a break: the check that a fault in the agent did not disturb
// the graph or the other applications' playback.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "private_pipewire.h"
#include "support/agent_process.h"

namespace quenwick::reliability {

// pw-record on the monitor of the stack's sink: 32-bit float stereo at 48000 Hz into `path`.
std::unique_ptr<harness::AgentProcess> recordSinkMonitor(const pwtest::PrivatePipeWire& stack,
                                                         const std::string& path);

// The interleaved samples of a 32-bit float stereo WAV file; nothing when it is not one.
std::optional<std::vector<float>> readStereoFloatWav(const std::string& path);

// How a recording (interleaved stereo) follows the played signal (interleaved stereo): after its
// leading silence, from which frame of the signal on, at which gain, and for how many frames
// without a break.
struct Continuity {
  std::size_t frames = 0;         // recorded frames
  std::size_t silentFrames = 0;   // recorded frames before the first sound
  std::size_t matchedFrames = 0;  // frames after those that follow the signal in order
  std::size_t playedOffset = 0;   // the signal's frame that the first sound is
  double gain = 0.0;              // the sink's volume on its monitor
  bool unbroken() const { return matchedFrames > 0 && silentFrames + matchedFrames == frames; }
};
Continuity followSignal(const std::vector<float>& recorded, const std::vector<float>& played);

}  // namespace quenwick::reliability
