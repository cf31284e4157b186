// One captured cycle as an audio layer hands it over, and where it goes: the capture interface's
// own records, into which each platform's capture translates its buffers where they arrive.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quenwick {

enum class SampleType : std::uint8_t { float32, int16 };

// What a capture delivers: the sample rate and channels, and how the samples are laid out.
struct StreamFormat {
  double sampleRate = 0.0;
  std::uint32_t channels = 0;
  SampleType sampleType = SampleType::float32;
  bool planar = false;  // one plane of 32-bit floats per channel; else one interleaved block
};

// The samples of one channel (planar), or of every channel frame after frame (interleaved). A
// plane may hold fewer frames than its cycle, or none: the rest of it is silence.
struct SamplePlane {
  const void* data = nullptr;  // the layer's own, read only; null: a silent channel
  std::uint32_t frames = 0;
};

struct CapturedCycle {
  std::span<const SamplePlane> planes;  // planar: one per channel; interleaved: one; none: empty
  std::uint32_t frames = 0;
  StreamFormat format;  // what the planes hold
  // Grows with each change of format the layer took, and only then: a new stream starts there,
  // also when a change and its way back leave the format as it was.
  std::uint64_t formatGeneration = 0;
  // When it was captured, on the host clock; none: it follows the last.
  std::optional<std::uint64_t> timeNs;
};

class CycleSink {
 public:
  // The delivering thread (capture.h), one cycle at a time: never waits, never allocates once
  // warm.
  virtual void deliver(const CapturedCycle& cycle) noexcept = 0;

 protected:
  ~CycleSink() = default;
};

}  // namespace quenwick
