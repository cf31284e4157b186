#include "capture/pipewire/packet_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace quenwick::pipewire {
namespace {

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t start) {
  std::vector<std::uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), start);
  return bytes;
}

TEST(PacketRing, HandsPacketsOverWholeAndInOrderAcrossTheWrap) {
  PacketRing ring(64, 40);
  std::vector<std::uint8_t> out(40);
  // 64 bytes of room: each round trip moves the indices on, so the packets wrap around the end
  // of the storage at every possible offset.
  for (std::uint8_t round = 0; round < 50; ++round) {
    const auto first = pattern(1 + round % 37, round);
    const auto second = pattern(40 - round % 23, static_cast<std::uint8_t>(round + 100));
    ASSERT_TRUE(ring.push(first.data(), static_cast<std::uint32_t>(first.size())));
    if (4 + first.size() + 4 + second.size() <= 64) {
      ASSERT_TRUE(ring.push(second.data(), static_cast<std::uint32_t>(second.size())));
    }
    ASSERT_EQ(ring.pop(out.data()), first.size());
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + first.size()), first);
    if (4 + first.size() + 4 + second.size() <= 64) {
      ASSERT_EQ(ring.pop(out.data()), second.size());
      EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + second.size()), second);
    }
    EXPECT_EQ(ring.pop(out.data()), 0u);
  }
  EXPECT_EQ(ring.droppedPackets(), 0u);
}

TEST(PacketRing, DropsTheNewestPacketWhenFullAndKeepsTheRest) {
  PacketRing ring(64, 32);  // room for two packets of 28 bytes with their headers
  std::vector<std::uint8_t> out(32);
  const auto a = pattern(28, 1), b = pattern(28, 2), c = pattern(28, 3), d = pattern(28, 4);
  EXPECT_TRUE(ring.push(a.data(), 28));
  EXPECT_TRUE(ring.push(b.data(), 28));
  EXPECT_FALSE(ring.push(c.data(), 28));
  EXPECT_EQ(ring.droppedPackets(), 1u);
  ASSERT_EQ(ring.pop(out.data()), 28u);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 28), a);
  EXPECT_TRUE(ring.push(d.data(), 28));
  ASSERT_EQ(ring.pop(out.data()), 28u);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 28), b);
  ASSERT_EQ(ring.pop(out.data()), 28u);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 28), d);
  EXPECT_EQ(ring.pop(out.data()), 0u);
}

TEST(PacketRing, RefusesEmptyAndOversizedPackets) {
  PacketRing ring(1024, 16);
  const auto bytes = pattern(17, 0);
  EXPECT_FALSE(ring.push(bytes.data(), 0));
  EXPECT_FALSE(ring.push(bytes.data(), 17));
  std::vector<std::uint8_t> out(16);
  EXPECT_EQ(ring.pop(out.data()), 0u);
  EXPECT_TRUE(ring.push(bytes.data(), 16));
  EXPECT_EQ(ring.pop(out.data()), 16u);
}

// A producer and a consumer at full speed: every packet that arrives is whole, packets arrive in
// the order pushed, and each one pushed either arrives or is counted as dropped.
TEST(PacketRing, KeepsPacketsWholeBetweenTwoThreads) {
  constexpr std::uint32_t kPackets = 200000;
  PacketRing ring(4096, 256);
  std::uint32_t refused = 0;
  std::thread producer([&] {
    std::vector<std::uint32_t> words(64);
    for (std::uint32_t n = 0; n < kPackets; ++n) {
      const std::uint32_t count = 1 + n % 64;
      std::fill(words.begin(), words.begin() + count, n);
      if (!ring.push(words.data(), count * 4)) ++refused;
    }
  });
  std::vector<std::uint32_t> out(64);
  std::uint32_t received = 0;
  std::int64_t last = -1;
  bool whole = true;
  bool ordered = true;
  auto drain = [&] {
    while (const std::uint32_t bytes = ring.pop(out.data())) {
      const std::uint32_t n = out[0];
      whole = whole && bytes == (1 + n % 64) * 4 &&
              std::all_of(out.begin(), out.begin() + bytes / 4,
                          [n](std::uint32_t w) { return w == n; });
      ordered = ordered && static_cast<std::int64_t>(n) > last;
      last = n;
      ++received;
    }
  };
  while (received + ring.droppedPackets() < kPackets) drain();
  producer.join();
  drain();
  EXPECT_TRUE(whole);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(ring.droppedPackets(), refused);
  EXPECT_EQ(received + refused, kPackets);
}

}  // namespace
}  // namespace quenwick::pipewire
