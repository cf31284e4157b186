#include "capture/pipewire/capture_channel.h"

#include <cstddef>
#include <thread>

namespace quenwick::pipewire {

AudioStreamBasicDescription planarFormatAt(std::uint32_t rate) {
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

// The sink and the count of deliveries under way form a handshake with sequentially consistent
// order: a delivery that still saw the sink is counted before detach() looks at the count.
void CaptureChannel::deliver(const CapturedPlanes& planes) noexcept {
  if (planes.rate != rate_) {
    rate_ = planes.rate;
    ++generation_;
  }
  delivering_.fetch_add(1);
  if (CycleSink* sink = sink_.load()) {
    // A list of two buffers: the second record follows the first, as a list's records do. The
    // sink only reads them.
    const std::uint32_t planeBytes = planes.frames * static_cast<std::uint32_t>(sizeof(float));
    struct {
      AudioBufferList list;
      AudioBuffer right;
    } input{{2, {{1, planeBytes, const_cast<float*>(planes.left)}}},
            {1, planeBytes, const_cast<float*>(planes.right)}};
    static_assert(offsetof(decltype(input), right) ==
                  offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer));
    sink->deliver({&input.list, planarFormatAt(planes.rate), generation_, planes.nsec});
  }
  delivering_.fetch_sub(1);
}

void CaptureChannel::attach(CycleSink& sink) noexcept {
  sink_.store(&sink);
}

bool CaptureChannel::detach(std::chrono::milliseconds timeout) noexcept {
  sink_.store(nullptr);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (delivering_.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace quenwick::pipewire
