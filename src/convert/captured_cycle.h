// One captured cycle as an audio layer hands it over, and where it goes: the shape every
// platform's capture delivers in, whatever its own buffers look like.
#pragma once

#include <cstdint>
#include <optional>

#include "convert/audio_buffers.h"

namespace quenwick {

struct CapturedCycle {
  const AudioBufferList* buffers = nullptr;  // the layer's own, read only; null: none
  AudioStreamBasicDescription format{};      // what the buffers hold
  // Grows with each change of format the layer took, and only then: a new stream starts there,
  // also when a change and its way back leave the format as it was.
  std::uint64_t formatGeneration = 0;
  // When it was captured, on the host clock; none: it follows the last.
  std::optional<std::uint64_t> timeNs;
};

class CycleSink {
 public:
  // The layer's real-time thread, one cycle at a time: never waits, never allocates once warm.
  virtual void deliver(const CapturedCycle& cycle) noexcept = 0;

 protected:
  ~CycleSink() = default;
};

}  // namespace quenwick
