#include "output/packet_ring.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quenwick {
namespace {
constexpr std::size_t kHeaderBytes = sizeof(std::uint32_t);
}

PacketRing::PacketRing(std::size_t capacityBytes, std::uint32_t maxPacketBytes)
    : capacity_(std::bit_ceil(capacityBytes)),
      maxPacketBytes_(maxPacketBytes),
      storage_(std::make_unique<std::byte[]>(capacity_)) {}

void PacketRing::copyIn(std::uint64_t at, const void* data, std::size_t bytes) noexcept {
  if (bytes == 0) return;
  const std::size_t offset = at & (capacity_ - 1);
  const std::size_t first = std::min(bytes, capacity_ - offset);
  std::memcpy(storage_.get() + offset, data, first);
  std::memcpy(storage_.get(), static_cast<const std::byte*>(data) + first, bytes - first);
}

void PacketRing::copyOut(std::uint64_t at, void* data, std::size_t bytes) const noexcept {
  const std::size_t offset = at & (capacity_ - 1);
  const std::size_t first = std::min(bytes, capacity_ - offset);
  std::memcpy(data, storage_.get() + offset, first);
  std::memcpy(static_cast<std::byte*>(data) + first, storage_.get(), bytes - first);
}

bool PacketRing::push(const void* first, std::uint32_t firstBytes, const void* second,
                      std::uint32_t secondBytes) noexcept {
  const std::uint64_t total = std::uint64_t{firstBytes} + secondBytes;
  if (total == 0 || total > maxPacketBytes_) return false;
  const auto bytes = static_cast<std::uint32_t>(total);
  const std::uint64_t head = head_.load(std::memory_order_relaxed);
  const std::uint64_t tail = tail_.load(std::memory_order_acquire);
  if (capacity_ - (head - tail) < kHeaderBytes + bytes) return false;
  copyIn(head, &bytes, kHeaderBytes);
  copyIn(head + kHeaderBytes, first, firstBytes);
  copyIn(head + kHeaderBytes + firstBytes, second, secondBytes);
  head_.store(head + kHeaderBytes + bytes, std::memory_order_release);
  return true;
}

std::uint32_t PacketRing::pop(void* out) noexcept {
  const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  const std::uint64_t head = head_.load(std::memory_order_acquire);
  if (head == tail) return 0;
  std::uint32_t bytes = 0;
  copyOut(tail, &bytes, kHeaderBytes);
  copyOut(tail + kHeaderBytes, out, bytes);
  tail_.store(tail + kHeaderBytes + bytes, std::memory_order_release);
  return bytes;
}

}  // namespace quenwick
