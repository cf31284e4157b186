// The band-limited resampler of --quality high: a Kaiser-windowed sinc low-pass, flat to 7 kHz
// and at least 80 dB down from 8 kHz, applied in polyphase form to mono float blocks, with its
// input history carried from one block to the next.
//
// The kernel is made once, in units of the lower rate's sample period, so it serves every rate:
// downsampling stretches it over the input, upsampling (a source below 16 kHz) reads it as it is.
// Output sample n is the filtered input at n * ratio less kHalfWidth samples of the lower rate
// (2.625 ms from 16 kHz up, 5.25 ms at 8 kHz), with silence before the stream's first sample.
// It comes out once the input holds a sample beyond position n * ratio, as on the linear path,
// so the count of samples per second is the linear path's.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "convert/resampler.h"

namespace quenwick {

class SincResampler {
 public:
  // Half the kernel's span in samples of the lower rate, and so the output's delay.
  static constexpr int kHalfWidth = 42;
  // Input rates up to 48 times the output's, 768 kHz, and down to the linear path's smallest.
  static constexpr double kLargestRatio = 48.0;

  // Allocates all it will use: the history for the largest ratio, the room for a rate's phases,
  // and output room for blocks of up to `expectedFrames` samples (a larger block grows it once).
  explicit SincResampler(std::size_t expectedFrames = kPreparedCycleFrames);

  // Starts a new stream at `inputRate` with a silent history. Returns false, and converts nothing
  // until the next reset, for a rate it does not take. The delivering thread may call it: a common
  // rate's filters were made at construction, and any other rate's are interpolated from the kernel
  // into room made then.
  bool reset(double inputRate);

  // Converts one block. Returns the samples to write, valid until the next call. The delivering
  // thread only.
  std::span<const std::int16_t> process(std::span<const float> mono);

 private:
  // The ratio and filter shape of `inputRate`; false for a rate it does not take.
  bool configure(double inputRate);
  const float* phaseFilter(std::int64_t phase);
  void makeFilter(double phase, float* filter) const;
  void makeEveryFilter(float* filters) const;  // den_ filters of taps_, phase after phase

  bool ready_ = false;
  // The ratio is num_ / den_ exactly for a whole number of hertz, and positions are counted in
  // 1/den_ input samples, so that no rounding builds up and every phase recurs exactly.
  std::int64_t num_ = 1;
  std::int64_t den_ = 1;
  double stretch_ = 1.0;     // the kernel's unit in input samples: the ratio, or 1 below 16 kHz
  std::int64_t half_ = 0;    // input samples on either side of a centre that the kernel reaches
  std::size_t taps_ = 0;     // filter length, a multiple of the dot product's lanes
  std::int64_t delay_ = 0;   // kHalfWidth samples of the lower rate, in 1/den_ input samples
  std::int64_t index_ = 0;   // the next output's position, n * ratio: whole input samples...
  std::int64_t phase_ = 0;   // ... and 1/den_ parts
  bool everyPhase_ = false;  // phases_ holds one filter per phase; otherwise filters_ one at a time
  std::vector<float> filters_;     // phase-major, taps_ each, for a rate not prepared
  const float* phases_ = nullptr;  // the rate's filters, with everyPhase_: prepared or filters_
  std::vector<std::pair<double, std::vector<float>>> prepared_;  // the common rates' filters
  std::vector<float> history_;  // input samples from index first_ on
  std::int64_t first_ = 0;
  std::size_t held_ = 0;
  std::vector<std::int16_t> output_;  // sized, not just reserved: its size is the room
};

}  // namespace quenwick
