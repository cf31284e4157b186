#include "reference_downmix.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quenwick::fuzz {
namespace {

template <typename Sample>
Sample sampleAt(const AudioBuffer& buffer, std::size_t index) {
  Sample value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer.mData) + index * sizeof value,
              sizeof value);
  return value;
}

std::vector<float> interleaved(const AudioBuffer& buffer,
                               const AudioStreamBasicDescription& format) {
  std::vector<float> mono;
  if (buffer.mData == nullptr || format.mBytesPerFrame == 0) return mono;
  const bool isFloat = (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  const std::size_t sampleBytes = isFloat ? 4 : 2;
  const std::size_t channels = buffer.mNumberChannels == 0 ? 1 : buffer.mNumberChannels;

  std::size_t frames = buffer.mDataByteSize / format.mBytesPerFrame;
  const std::size_t framesHeld = buffer.mDataByteSize / (channels * sampleBytes);
  if (framesHeld < frames) frames = framesHeld;

  for (std::size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) {
      const std::size_t index = f * channels + c;
      if (isFloat) {
        sum = sum + sampleAt<float>(buffer, index);
      } else {
        const float scaled = static_cast<float>(sampleAt<std::int16_t>(buffer, index)) / 32767.0f;
        sum = sum + scaled;
      }
    }
    mono.push_back(sum / static_cast<float>(channels));
  }
  return mono;
}

std::vector<float> perChannel(std::span<const AudioBuffer> buffers) {
  std::vector<float> mono;
  if (buffers[0].mData == nullptr) return mono;
  const std::size_t frames = buffers[0].mDataByteSize / 4;
  mono.assign(frames, 0.0f);
  for (const AudioBuffer& buffer : buffers) {
    if (buffer.mData == nullptr) continue;
    for (std::size_t f = 0; f < frames && (f + 1) * 4 <= buffer.mDataByteSize; ++f) {
      mono[f] = mono[f] + sampleAt<float>(buffer, f);
    }
  }
  for (float& value : mono) value = value / static_cast<float>(buffers.size());
  return mono;
}

}  // namespace

std::vector<float> referenceDownmix(std::span<const AudioBuffer> buffers,
                                    const AudioStreamBasicDescription& format) {
  if (buffers.empty()) return {};
  if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) return perChannel(buffers);
  return interleaved(buffers[0], format);
}

bool sameBlock(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  }
  return true;
}

}  // namespace quenwick::fuzz
