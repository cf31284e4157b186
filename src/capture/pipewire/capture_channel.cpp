#include "capture/pipewire/capture_channel.h"

#include <cstddef>
#include <thread>

namespace quenwick::pipewire {

AudioStreamBasicDescription tapFormatAt(std::uint32_t rate) {
  AudioStreamBasicDescription format{};
  format.mSampleRate = rate;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFormatFlags =
      kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
  format.mBytesPerFrame = static_cast<std::uint32_t>(sizeof(float));
  format.mBytesPerPacket = format.mBytesPerFrame;
  format.mFramesPerPacket = 1;
  format.mChannelsPerFrame = 2;
  format.mBitsPerChannel = 32;
  return format;
}

// The block and the count of deliveries under way form a handshake with sequentially consistent
// order: a delivery that still saw the block is counted before detach() looks at the count.
void CaptureChannel::deliver(const CapturedCycle& cycle) noexcept {
  delivering_.fetch_add(1);
  if (const AudioDeviceIOBlock* block = block_.load()) {
    // A list of two buffers: the second record follows the first, as a list's records do. The
    // block only reads its input.
    const std::uint32_t planeBytes = cycle.frames * static_cast<std::uint32_t>(sizeof(float));
    struct {
      AudioBufferList list;
      AudioBuffer right;
    } input{{2, {{1, planeBytes, const_cast<float*>(cycle.left)}}},
            {1, planeBytes, const_cast<float*>(cycle.right)}};
    static_assert(offsetof(decltype(input), right) ==
                  offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer));
    AudioBufferList output{0, {{0, 0, nullptr}}};
    AudioTimeStamp time{};
    time.mSampleTime = static_cast<double>(cycle.position);
    time.mHostTime = cycle.nsec;
    time.mRateScalar = 1.0;
    time.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    const AudioStreamBasicDescription format = tapFormatAt(cycle.rate);
    (*block)(&time, &input.list, &time, &output, &time, &format);
  }
  delivering_.fetch_sub(1);
}

void CaptureChannel::attach(const AudioDeviceIOBlock& block) noexcept {
  block_.store(&block);
}

bool CaptureChannel::detach(std::chrono::milliseconds timeout) noexcept {
  block_.store(nullptr);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (delivering_.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace quenwick::pipewire
