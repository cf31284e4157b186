// The sound every benchmark converts: ten minutes of deterministic stereo at a given rate, in the
// three layouts a capture can deliver, cut into the cycles the audio layer would hand over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/captured_cycle.h"
#include "convert/sample_layout.h"

namespace quenwick::bench {

inline constexpr double kSeconds = 600.0;
inline constexpr std::size_t kBlockFrames = 512;
inline constexpr std::uint32_t kChannels = 2;

using Layout = SampleLayout;

// Ten minutes at `rate`, made on first use and kept for the life of the process. The samples
// stay well inside full scale and hold no subnormal, infinity or NaN, so that no converter meets
// a slow path that ordinary sound would not take it into.
struct Input {
  double rate = 0.0;
  std::size_t frames = 0;
  std::vector<float> interleaved;           // float, L R L R ...
  std::vector<std::int16_t> interleaved16;  // the same sound in 16 bits
  std::vector<float> left, right;           // the same sound, one buffer per channel
};

const Input& inputAt(double rate);

// The format that describes `layout` at `rate`, stereo.
StreamFormat formatOf(Layout layout, double rate);

// Where the blocks come from. The ten minutes of input are far larger than the caches, so each
// block is read from memory: what a file conversion meets. The audio layer hands the agent a
// buffer it has just written, which is in cache; kHot serves every block from the first
// kHotBlocks blocks, which stay in the second-level cache, to measure that case.
enum class Source { kMemory, kHot };
inline constexpr std::size_t kHotBlocks = 32;

// Cycles over one input, block after block, pointing into the input's own storage as the
// audio layer's buffers would: nothing is copied.
class BlockFeed {
 public:
  BlockFeed(Layout layout, double rate, Source source = Source::kMemory);

  const StreamFormat& format() const { return cycle_.format; }
  std::size_t frames() const { return input_.frames; }
  std::size_t blocks() const { return (input_.frames + kBlockFrames - 1) / kBlockFrames; }

  // The cycle of block `index`; valid until the next call.
  const CapturedCycle& cycle(std::size_t index);
  // The bytes of each plane of the last cycle.
  std::size_t planeBytes() const;

  // The interleaved float samples of block `index` and its frame count, for converters that
  // take the stereo stream themselves.
  const float* interleavedBlock(std::size_t index) const;
  std::size_t framesOf(std::size_t index) const;

 private:
  std::size_t startOf(std::size_t index) const;

  Layout layout_;
  Source source_;
  const Input& input_;
  std::array<SamplePlane, 2> planes_{};
  CapturedCycle cycle_;
};

}  // namespace quenwick::bench
