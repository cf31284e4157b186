// The packed linear PCM description of a tap in one of the conversion's sample layouts, as Core
// Audio fills it in: for the scripted Core Audio and the tests that make buffer lists.
#pragma once

#include <cstdint>

#include "capture/coreaudio/audio_buffers.h"
#include "convert/sample_layout.h"

namespace quenwick {

inline AudioStreamBasicDescription linearPcmOf(SampleLayout layout, double rate,
                                               std::uint32_t channels) {
  AudioStreamBasicDescription format{};
  const std::uint32_t sampleBytes = bytesPerSample(layout);
  const bool planar = layout == SampleLayout::planar;
  format.mSampleRate = rate;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFormatFlags =
      (layout == SampleLayout::s16 ? kAudioFormatFlagIsSignedInteger : kAudioFormatFlagIsFloat) |
      kAudioFormatFlagIsPacked | (planar ? kAudioFormatFlagIsNonInterleaved : 0);
  format.mBytesPerFrame = planar ? sampleBytes : channels * sampleBytes;
  format.mBytesPerPacket = format.mBytesPerFrame;
  format.mFramesPerPacket = 1;
  format.mChannelsPerFrame = channels;
  format.mBitsPerChannel = 8 * sampleBytes;
  return format;
}

}  // namespace quenwick
