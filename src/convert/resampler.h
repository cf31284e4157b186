// Linear resampling of mono float blocks to 16-bit samples at outRate, with the read position
// and the last input sample carried from one block to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quenwick {

inline constexpr double outRate = 16000.0;

// The longest cycle, in input frames, that the conversion makes room for before it starts (the
// downmix's mono block, each resampler's output): a longer one grows that room once.
inline constexpr std::size_t kPreparedCycleFrames = 8192;

// A ratio the resampler can work with: finite and at least 1/64 (an input rate of 250 Hz).
// Anything smaller would blow one block up into an enormous output.
bool isUsableRatio(double ratio);

class Resampler {
 public:
  // Reserves room for blocks of up to `expectedFrames` input samples at the smallest usable
  // ratio, so that ordinary blocks never allocate. A larger block grows the room once.
  explicit Resampler(std::size_t expectedFrames = kPreparedCycleFrames);

  // Starts a new stream: `ratio` input samples per output sample, read from the next block's
  // first sample, with no carry. `carry` itself is left as it was.
  void reset(double newRatio);

  // Converts one block. Returns the samples to write, valid until the next call. An empty block,
  // or an unusable ratio, returns nothing and leaves the state as it was. The delivering thread
  // only.
  std::span<const std::int16_t> process(std::span<const float> mono);

  // The conversion state, public so that the tests can set and read it.
  double ratio = 0.0;
  double position = 0.0;
  float carry = 0.0f;
  bool haveCarry = false;

 private:
  std::vector<std::int16_t> output_;  // sized, not just reserved: its size is the room
};

}  // namespace quenwick
