// A single-producer single-consumer ring of variable-sized packets, lock-free and allocation-free
// after construction. The producer is PipeWire's real-time data thread, the consumer our IO
// thread; neither ever waits for the other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quenwick::pipewire {

class PacketRing {
 public:
  // `capacityBytes` is rounded up to a power of two; each packet also takes a 4-byte header.
  PacketRing(std::size_t capacityBytes, std::uint32_t maxPacketBytes);

  // Producer only. Appends `bytes` (1 to maxPacketBytes()) as one packet, or, when the ring has
  // no room for all of it, drops it: the consumer is behind, and the newest sound is what goes.
  bool push(const void* data, std::uint32_t bytes) noexcept {
    return push(data, bytes, nullptr, 0);
  }
  // The same for a packet made of two parts, `first` and then `second`.
  bool push(const void* first, std::uint32_t firstBytes, const void* second,
            std::uint32_t secondBytes) noexcept;

  // Consumer only. Moves the oldest packet into `out`, which holds maxPacketBytes(); returns its
  // size, or 0 when the ring is empty.
  std::uint32_t pop(void* out) noexcept;

  // Either side. Acquires what the other side did before it last moved its end.
  bool empty() const noexcept {
    return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
  }

  std::uint32_t maxPacketBytes() const noexcept { return maxPacketBytes_; }
  std::uint64_t droppedPackets() const noexcept { return dropped_.load(std::memory_order_relaxed); }

 private:
  void copyIn(std::uint64_t at, const void* data, std::size_t bytes) noexcept;
  void copyOut(std::uint64_t at, void* data, std::size_t bytes) const noexcept;

  std::size_t capacity_;
  std::uint32_t maxPacketBytes_;
  std::unique_ptr<std::byte[]> storage_;
  // Monotonic byte counters; their difference is what the ring holds.
  alignas(64) std::atomic<std::uint64_t> head_{0};  // written by the producer
  alignas(64) std::atomic<std::uint64_t> tail_{0};  // written by the consumer
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace quenwick::pipewire
