// The conversion written out the plain way, to hold the real one against: every sample read
// byte by byte from inside its buffer, every position reached by repeated addition, a working
// sequence built in full. It shares no code with src/convert; the tests and the fuzz targets
// compare with it alone.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "capture/coreaudio/audio_buffers.h"

namespace quenwick::reference {

template <typename Sample>
Sample sampleAt(const AudioBuffer& buffer, std::size_t index) {
  Sample value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer.mData) + index * sizeof value,
              sizeof value);
  return value;
}

// One buffer list, read as `format` says, as a block of mono floats: the mean over channels.
inline std::vector<float> downmix(std::span<const AudioBuffer> buffers,
                                  const AudioStreamBasicDescription& format) {
  std::vector<float> mono;
  if (buffers.empty() || buffers[0].mData == nullptr) return mono;
  const AudioBuffer& first = buffers[0];
  if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) {
    // A float buffer per channel; the first sets the frame count, and a null buffer or the part
    // of one beyond its bytes is a silent channel that still counts.
    mono.assign(first.mDataByteSize / 4, 0.0f);
    for (const AudioBuffer& buffer : buffers) {
      for (std::size_t f = 0; buffer.mData != nullptr && f < mono.size(); ++f) {
        if ((f + 1) * 4 <= buffer.mDataByteSize) mono[f] = mono[f] + sampleAt<float>(buffer, f);
      }
    }
    for (float& value : mono) value = value / static_cast<float>(buffers.size());
    return mono;
  }
  // Interleaved in the first buffer: as many frames as the frame size gives and the buffer's own
  // samples hold.
  if (format.mBytesPerFrame == 0) return mono;
  const bool isFloat = (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  const std::size_t channels = first.mNumberChannels == 0 ? 1 : first.mNumberChannels;
  const std::size_t frames =
      std::min<std::size_t>(first.mDataByteSize / format.mBytesPerFrame,
                            first.mDataByteSize / (channels * (isFloat ? 4 : 2)));
  for (std::size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) {
      const std::size_t i = f * channels + c;
      sum = sum + (isFloat ? sampleAt<float>(first, i)
                           : static_cast<float>(sampleAt<std::int16_t>(first, i)) / 32767.0f);
    }
    mono.push_back(sum / static_cast<float>(channels));
  }
  return mono;
}

struct Resampler {
  double ratio = 0.0;
  double position = 0.0;
  float carry = 0.0f;
  bool haveCarry = false;

  // Appends the block's samples to `out`. An empty block or a ratio that cannot be used (not
  // finite, or under 1/64) changes nothing.
  void emit(std::span<const float> mono, std::vector<std::int16_t>& out) {
    if (mono.empty() || !std::isfinite(ratio) || ratio < 1.0 / 64) return;
    std::vector<float> w;
    if (haveCarry) w.push_back(carry);
    w.insert(w.end(), mono.begin(), mono.end());
    const double last = static_cast<double>(w.size() - 1);
    double p = position;
    while (p < last) {
      const auto i = static_cast<std::size_t>(p);
      const float frac = static_cast<float>(p - static_cast<double>(i));
      float v = w[i] + (w[i + 1] - w[i]) * frac;
      if (!(v < 1.0f)) v = 1.0f;
      if (v < -1.0f) v = -1.0f;
      out.push_back(static_cast<std::int16_t>(v * 32767.0f));
      p += ratio;
    }
    carry = w.back();
    haveCarry = true;
    position = p - last;
  }
};

}  // namespace quenwick::reference
