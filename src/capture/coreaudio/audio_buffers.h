// Core Audio's records in which a tap hands over sound and describes its format, in Core Audio's
// own layout, so that the macOS translation passes the framework's through without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quenwick {

// The audio layer's 40-byte stream description. Of its fields the agent uses mSampleRate,
// mFormatFlags, mBytesPerFrame and mChannelsPerFrame.
struct AudioStreamBasicDescription {
  double mSampleRate;
  std::uint32_t mFormatID;
  std::uint32_t mFormatFlags;
  std::uint32_t mBytesPerPacket;
  std::uint32_t mFramesPerPacket;
  std::uint32_t mBytesPerFrame;
  std::uint32_t mChannelsPerFrame;
  std::uint32_t mBitsPerChannel;
  std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

inline constexpr std::uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'

// Of the flags, the backend reads only IsFloat (otherwise signed 16-bit samples) and
// IsNonInterleaved (one buffer per channel).
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioBuffer {
  std::uint32_t mNumberChannels;
  std::uint32_t mDataByteSize;
  void* mData;  // may be null: a disabled stream or a silent channel
};

// Whether two formats read a buffer list alike and at the same rate: what the conversion starts
// afresh for when it changes.
inline bool sameForConversion(const AudioStreamBasicDescription& a,
                              const AudioStreamBasicDescription& b) {
  return a.mSampleRate == b.mSampleRate && a.mChannelsPerFrame == b.mChannelsPerFrame &&
         a.mFormatFlags == b.mFormatFlags && a.mBytesPerFrame == b.mBytesPerFrame;
}

// Variable length: mNumberBuffers records follow, of which the struct declares the first.
struct AudioBufferList {
  std::uint32_t mNumberBuffers;
  AudioBuffer mBuffers[1];
};

// The buffer records of a list, however many it holds.
inline std::span<const AudioBuffer> buffersOf(const AudioBufferList& list) {
  return {list.mBuffers, list.mNumberBuffers};
}

}  // namespace quenwick
