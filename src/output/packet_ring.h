// A single-producer single-consumer ring of variable-sized packets, lock-free and allocation-free
// after construction. Neither side ever waits for the other: a packet that does not fit is
// refused whole, and the producer decides what that means.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quenwick {

class PacketRing {
 public:
  // `capacityBytes` is rounded up to a power of two; each packet also takes a 4-byte header.
  PacketRing(std::size_t capacityBytes, std::uint32_t maxPacketBytes);

  // Producer only. Appends one packet made of `first` and then `second` (1 to maxPacketBytes()
  // bytes in all), or refuses it when the ring has no room for all of it.
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

 private:
  void copyIn(std::uint64_t at, const void* data, std::size_t bytes) noexcept;
  void copyOut(std::uint64_t at, void* data, std::size_t bytes) const noexcept;

  std::size_t capacity_;
  std::uint32_t maxPacketBytes_;
  std::unique_ptr<std::byte[]> storage_;
  // Monotonic byte counters; their difference is what the ring holds.
  alignas(64) std::atomic<std::uint64_t> head_{0};  // written by the producer
  alignas(64) std::atomic<std::uint64_t> tail_{0};  // written by the consumer
};

}  // namespace quenwick
