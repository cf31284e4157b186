// The hand-over from PipeWire's real-time data thread to our IO thread: the ring the data thread
// fills, the doorbell it rings, and the IO proc it hands each cycle to while one runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "capture/pipewire/packet_ring.h"

namespace quenwick::pipewire {

class IoThread;

// An eventfd: ringing is one non-blocking write, which the data thread may do.
class Doorbell {
 public:
  Doorbell();
  ~Doorbell();
  Doorbell(const Doorbell&) = delete;
  Doorbell& operator=(const Doorbell&) = delete;

  bool valid() const { return fd_ >= 0; }
  void ring() noexcept;
  // Waits until rung, and clears the bell. A ring before the wait is not lost.
  void wait() noexcept;

 private:
  int fd_;
};

struct CaptureChannel {
  // Room for about 2.7 s of stereo float at 48 kHz; a packet holds one graph cycle of up to
  // 8192 frames (PipeWire's default quantum limit), the left channel's samples and then the
  // right's; longer cycles are split.
  static constexpr std::size_t kRingBytes = std::size_t{1} << 20;
  static constexpr std::uint32_t kMaxPacketBytes = 8192 * 2 * sizeof(float);

  // Data thread: hands one captured cycle of `frames` frames at `rate`, a plane of float samples
  // for each channel, to the IO proc that is attached, or drops it when none is.
  void deliver(const float* left, const float* right, std::uint32_t frames,
               std::uint32_t rate) noexcept;

  // The IO proc receives cycles from the next one the data thread captures.
  void attach(IoThread& reader) noexcept;
  // No cycle reaches the IO proc after this returns. Waits for a delivery under way, which never
  // waits itself; true once none is.
  bool detach(std::chrono::milliseconds timeout) noexcept;

  PacketRing ring{kRingBytes, kMaxPacketBytes};
  Doorbell doorbell;

 private:
  std::atomic<IoThread*> reader_{nullptr};
  std::atomic<std::uint32_t> delivering_{0};  // data thread inside deliver()
};

}  // namespace quenwick::pipewire
