// The way from PulseAudio's mainloop thread, where a monitor stream's fragments arrive, to the
// delivering thread that mixes them: one ring a stream, of stereo float frames and of the
// packets that place them in time. One writer and one reader, neither of which waits or
// allocates; a full ring drops what does not fit, and the stream's time goes on.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace quenwick::pulseaudio {

class StreamRing {
 public:
  struct Packet {
    const float* data;  // interleaved stereo; null for a hole in the stream (silence)
    std::uint32_t frames;
    std::uint64_t position;  // the first frame's time, 100 ns units of CLOCK_MONOTONIC
    bool timed;              // false: it follows the packet before it
    bool end;                // the stream ended; no frames
  };

  // Room for `frames` stereo frames, rounded up to a power of two; its pages are touched only as
  // they are written.
  explicit StreamRing(std::uint32_t frames);

  // Writer. Contiguous room for up to `frames` frames; empty when the ring is full.
  std::span<float> room(std::uint32_t frames) noexcept;
  // Writer. Hands over `frames` frames written to room(), a hole of `frames` frames (data null),
  // or the stream's end; false when there is no room for one more packet.
  bool commit(std::uint32_t frames, std::uint64_t position, bool timed) noexcept;
  bool hole(std::uint32_t frames, std::uint64_t position, bool timed) noexcept;
  bool end() noexcept;

  // Reader: every packet handed over, in order; each packet's frames stay valid until `each`
  // returns.
  template <class Each>
  void drain(Each&& each) noexcept {
    const std::uint64_t written = headersWritten_.load(std::memory_order_acquire);
    for (std::uint64_t read = headersRead_.load(std::memory_order_relaxed); read < written;
         ++read) {
      const Header& header = headers_[read % kHeaders];
      const std::uint64_t at = framesRead_.load(std::memory_order_relaxed);
      const float* data = header.hole || header.end ? nullptr : &frames_[2 * (at & mask_)];
      each(Packet{data, header.frames, header.position, header.timed, header.end});
      if (data != nullptr) framesRead_.store(at + header.frames, std::memory_order_release);
      headersRead_.store(read + 1, std::memory_order_release);
    }
  }

 private:
  struct Header {
    std::uint32_t frames = 0;
    std::uint64_t position = 0;
    bool timed = false, hole = false, end = false;
  };
  bool push(const Header& header) noexcept;

  static constexpr std::uint64_t kHeaders = 1024;
  const std::uint64_t mask_;
  std::unique_ptr<float[]> frames_;
  std::array<Header, kHeaders> headers_{};
  std::atomic<std::uint64_t> framesWritten_{0}, framesRead_{0};
  std::atomic<std::uint64_t> headersWritten_{0}, headersRead_{0};
};

}  // namespace quenwick::pulseaudio
