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

// All channels in the first buffer, frame after frame. Further buffers are not part of this
// layout and are ignored.
void downmixInterleaved(const AudioBuffer& buffer, const AudioStreamBasicDescription& format,
                        std::vector<float>& mono) {
  if (buffer.mData == nullptr || format.mBytesPerFrame == 0) return;

  const bool isFloat = (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  const std::size_t sampleBytes = isFloat ? sizeof(float) : sizeof(std::int16_t);
  const std::size_t channels = buffer.mNumberChannels == 0 ? 1 : buffer.mNumberChannels;
  // The format's frame size decides how many frames there are, but a buffer that holds fewer
  // samples than the format promises is read only as far as its own byte count goes.
  const std::size_t frames = std::min<std::size_t>(buffer.mDataByteSize / format.mBytesPerFrame,
                                                   buffer.mDataByteSize / (channels * sampleBytes));
  if (frames == 0) return;

  mono.resize(frames);
  if (isFloat) {
    meanOfFloatFrames(static_cast<const float*>(buffer.mData), frames, channels, mono.data());
  } else {
    meanOfInt16Frames(static_cast<const std::int16_t*>(buffer.mData), frames, channels,
                      mono.data());
  }
}

// The per-channel sum in passes over the block, one buffer per pass, as the plain algorithm
// runs it: the block starts at +0.0 and each buffer adds its samples. The first pass writes
// instead of clearing and adding, and the last one divides as it goes; neither changes a value.
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

// One buffer of floats per channel; the first buffer sets the frame count. A null buffer, or the
// part of a buffer beyond its own data, is a silent channel: it adds nothing but still counts.
void downmixPerChannel(std::span<const AudioBuffer> buffers, std::vector<float>& mono) {
  if (buffers.front().mData == nullptr) return;

  const std::size_t frames = buffers.front().mDataByteSize / sizeof(float);
  if (frames == 0) return;

  mono.resize(frames);
  float* out = mono.data();
  startSum(out, static_cast<const float*>(buffers.front().mData), frames);
  const std::size_t channels = buffers.size();
  for (std::size_t i = 1; i < channels; ++i) {
    const AudioBuffer& buffer = buffers[i];
    const std::size_t count =
        buffer.mData == nullptr ? 0 : std::min(frames, buffer.mDataByteSize / sizeof(float));
    const auto* samples = static_cast<const float*>(buffer.mData);
    if (i + 1 < channels) {
      addTo(out, samples, count);
    } else {
      addAndDivide(out, samples, count, frames, channels);
    }
  }
  if (channels == 1) addAndDivide(out, nullptr, 0, frames, channels);
}

}  // namespace

void downmix(std::span<const AudioBuffer> buffers, const AudioStreamBasicDescription& format,
             std::vector<float>& mono) {
  mono.clear();
  if (buffers.empty()) return;
  if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) {
    downmixPerChannel(buffers, mono);
  } else {
    downmixInterleaved(buffers.front(), format, mono);
  }
}

}  // namespace quenwick
