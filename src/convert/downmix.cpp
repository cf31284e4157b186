#include "convert/downmix.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace quenwick {
namespace {

// One frame's channels summed in channel order, starting from +0.0, then divided by the channel
// count. A non-zero `Fixed` is the channel count known at compile time, which lets the compiler
// unroll the common mono and stereo layouts; the arithmetic, and so every bit, stays the same.
template <std::size_t Fixed, typename Sample, typename ToFloat>
void meanOfFrames(const Sample* samples, std::size_t frames, std::size_t anyChannels,
                  ToFloat toFloat, float* out) {
  const std::size_t channels = Fixed != 0 ? Fixed : anyChannels;
  const float divisor = static_cast<float>(channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const Sample* frame = samples + f * channels;
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) sum += toFloat(frame[c]);
    out[f] = sum / divisor;
  }
}

template <typename Sample, typename ToFloat>
void meanOfInterleaved(const void* data, std::size_t frames, std::size_t channels, ToFloat toFloat,
                       float* out) {
  const auto* samples = static_cast<const Sample*>(data);
  switch (channels) {
    case 1:
      return meanOfFrames<1>(samples, frames, channels, toFloat, out);
    case 2:
      return meanOfFrames<2>(samples, frames, channels, toFloat, out);
    default:
      return meanOfFrames<0>(samples, frames, channels, toFloat, out);
  }
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
    meanOfInterleaved<float>(
        buffer.mData, frames, channels, [](float s) { return s; }, mono.data());
  } else {
    meanOfInterleaved<std::int16_t>(
        buffer.mData, frames, channels,
        [](std::int16_t s) { return static_cast<float>(s) / 32767.0f; }, mono.data());
  }
}

// One buffer of floats per channel; the first buffer sets the frame count. A null buffer, or the
// part of a buffer beyond its own data, is a silent channel: it adds nothing but still counts.
void downmixPerChannel(std::span<const AudioBuffer> buffers, std::vector<float>& mono) {
  if (buffers.front().mData == nullptr) return;

  const std::size_t frames = buffers.front().mDataByteSize / sizeof(float);
  if (frames == 0) return;

  mono.assign(frames, 0.0f);
  float* out = mono.data();
  for (const AudioBuffer& buffer : buffers) {
    if (buffer.mData == nullptr) continue;
    const auto* samples = static_cast<const float*>(buffer.mData);
    const std::size_t count = std::min(frames, buffer.mDataByteSize / sizeof(float));
    for (std::size_t f = 0; f < count; ++f) out[f] += samples[f];
  }
  const float divisor = static_cast<float>(buffers.size());
  for (std::size_t f = 0; f < frames; ++f) out[f] /= divisor;
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
