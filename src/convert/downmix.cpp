#include "convert/downmix.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "convert/vector_clones.h"

namespace quenwick {
namespace {

// Division by the channel count. When that is a power of two, x * (1 / count) is the same real
// number as x / count and so rounds to the same float, subnormals, infinities and NaN included;
// the multiplication is much the cheaper of the two.
struct ByChannels {
  explicit ByChannels(std::size_t channels)
      : divisor(static_cast<float>(channels)),
        reciprocal(1.0f / divisor),
        byReciprocal(std::has_single_bit(channels)) {}

  float divisor;
  float reciprocal;
  bool byReciprocal;
};

// Runs `body` with the division by the channel count as a function of one float, chosen once
// outside the loop that `body` holds.
template <typename Body>
[[gnu::always_inline]] inline void withDivision(std::size_t channels, Body body) {
  const ByChannels by(channels);
  if (by.byReciprocal) {
    const float reciprocal = by.reciprocal;
    body([reciprocal](float x) { return x * reciprocal; });
  } else {
    const float divisor = by.divisor;
    body([divisor](float x) { return x / divisor; });
  }
}

// One frame's channels summed in channel order, starting from +0.0, then divided by the channel
// count. A non-zero `Fixed` is the channel count known at compile time, which lets the compiler
// unroll and vectorise the common mono and stereo layouts; the arithmetic, and so every bit,
// stays the same.
template <std::size_t Fixed, typename Sample, typename ToFloat>
[[gnu::always_inline]] inline void meanOfFrames(const Sample* samples, std::size_t frames,
                                                std::size_t anyChannels, ToFloat toFloat,
                                                float* out) {
  const std::size_t channels = Fixed != 0 ? Fixed : anyChannels;
  withDivision(channels, [&](auto divide) {
    for (std::size_t f = 0; f < frames; ++f) {
      const Sample* frame = samples + f * channels;
      float sum = 0.0f;
      for (std::size_t c = 0; c < channels; ++c) sum += toFloat(frame[c]);
      out[f] = divide(sum);
    }
  });
}

template <typename Sample, typename ToFloat>
[[gnu::always_inline]] inline void meanOfInterleaved(const Sample* samples, std::size_t frames,
                                                     std::size_t channels, ToFloat toFloat,
                                                     float* out) {
  switch (channels) {
    case 1:
      return meanOfFrames<1>(samples, frames, channels, toFloat, out);
    case 2:
      return meanOfFrames<2>(samples, frames, channels, toFloat, out);
    default:
      return meanOfFrames<0>(samples, frames, channels, toFloat, out);
  }
}

QUENWICK_VECTOR_CLONES
void meanOfFloatFrames(const float* samples, std::size_t frames, std::size_t channels, float* out) {
  meanOfInterleaved(
      samples, frames, channels, [](float s) { return s; }, out);
}

QUENWICK_VECTOR_CLONES
void meanOfInt16Frames(const std::int16_t* samples, std::size_t frames, std::size_t channels,
                       float* out) {
  meanOfInterleaved(
      samples, frames, channels, [](std::int16_t s) { return static_cast<float>(s) / 32767.0f; },
      out);
}

// All channels in one block, frame after frame; the frames it lacks are silence.
void downmixInterleaved(const CapturedCycle& cycle, std::vector<float>& mono) {
  const SamplePlane& block = cycle.planes.front();
  const std::size_t channels = cycle.format.channels;
  if (channels == 0) return;

  mono.resize(cycle.frames);
  const std::size_t frames = block.data == nullptr ? 0 : std::min(block.frames, cycle.frames);
  if (cycle.format.sampleType == SampleType::float32) {
    meanOfFloatFrames(static_cast<const float*>(block.data), frames, channels, mono.data());
  } else {
    meanOfInt16Frames(static_cast<const std::int16_t*>(block.data), frames, channels, mono.data());
  }
}

// The per-channel sum in passes over the block, one plane per pass, as the plain algorithm runs
// it: the block starts at +0.0 and each plane adds its samples. The first pass adds to the
// block's zeros as it writes, and the last one divides as it goes; neither changes a value.
QUENWICK_VECTOR_CLONES
void startSum(float* out, const float* samples, std::size_t frames) {
  for (std::size_t f = 0; f < frames; ++f) out[f] = 0.0f + samples[f];
}

QUENWICK_VECTOR_CLONES
void addTo(float* out, const float* samples, std::size_t count) {
  for (std::size_t f = 0; f < count; ++f) out[f] += samples[f];
}

QUENWICK_VECTOR_CLONES
void addAndDivide(float* out, const float* samples, std::size_t count, std::size_t frames,
                  std::size_t channels) {
  withDivision(channels, [&](auto divide) {
    for (std::size_t f = 0; f < count; ++f) out[f] = divide(out[f] + samples[f]);
    for (std::size_t f = count; f < frames; ++f) out[f] = divide(out[f]);
  });
}

// One plane of floats per channel. A null plane, or the frames a plane lacks, are a silent
// channel: it adds nothing but still counts.
void downmixPerChannel(const CapturedCycle& cycle, std::vector<float>& mono) {
  const std::size_t frames = cycle.frames;
  mono.resize(frames);
  const auto countOf = [frames](const SamplePlane& plane) {
    return plane.data == nullptr ? 0 : std::min<std::size_t>(frames, plane.frames);
  };
  float* out = mono.data();
  const std::span<const SamplePlane> planes = cycle.planes;
  startSum(out, static_cast<const float*>(planes.front().data), countOf(planes.front()));
  const std::size_t channels = planes.size();
  for (std::size_t i = 1; i < channels; ++i) {
    const auto* samples = static_cast<const float*>(planes[i].data);
    if (i + 1 < channels) {
      addTo(out, samples, countOf(planes[i]));
    } else {
      addAndDivide(out, samples, countOf(planes[i]), frames, channels);
    }
  }
  if (channels == 1) addAndDivide(out, nullptr, 0, frames, channels);
}

}  // namespace

void downmix(const CapturedCycle& cycle, std::vector<float>& mono) {
  mono.clear();
  if (cycle.planes.empty() || cycle.frames == 0) return;
  if (cycle.format.planar) {
    downmixPerChannel(cycle, mono);
  } else {
    downmixInterleaved(cycle, mono);
  }
}

}  // namespace quenwick
