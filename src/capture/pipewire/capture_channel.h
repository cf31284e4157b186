// The hand-over from PipeWire's real-time data thread to our IO thread: the ring the data thread
// fills, the doorbell it rings, and the switch that says whether anyone is listening.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "capture/pipewire/packet_ring.h"

namespace quenwick::pipewire {

// An eventfd: ringing is one non-blocking write, which the data thread may do.
class Doorbell {
 public:
  Doorbell();
  ~Doorbell();
  Doorbell(const Doorbell&) = delete;
  Doorbell& operator=(const Doorbell&) = delete;

  bool valid() const { return fd_ >= 0; }
  void ring() noexcept;
  // Waits until rung or until `timeout` passes, and clears the bell.
  void wait(std::chrono::milliseconds timeout) noexcept;

 private:
  int fd_;
};

struct CaptureChannel {
  // Room for about 2.7 s of stereo float at 48 kHz; a packet holds one graph cycle of up to
  // 8192 frames (PipeWire's default quantum limit); longer cycles are split.
  static constexpr std::size_t kRingBytes = std::size_t{1} << 20;
  static constexpr std::uint32_t kMaxPacketBytes = 8192 * 2 * sizeof(float);

  PacketRing ring{kRingBytes, kMaxPacketBytes};
  Doorbell doorbell;
  // Set while an IO proc runs; the data thread drops what it captures otherwise.
  std::atomic<bool> open{false};
};

}  // namespace quenwick::pipewire
