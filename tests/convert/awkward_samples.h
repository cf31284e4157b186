// Test inputs for the conversion: a small seeded generator, and floats that are mostly sound with
// every kind of value a tap could hand over mixed in.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace quenwick::samples {

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 32);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
  float unit() { return static_cast<float>(next() >> 8) / 16777216.0f; }  // [0, 1)
};

inline float awkwardFloat(Random& random) {
  const std::uint32_t pick = random.below(1000);
  if (pick < 3) return std::numeric_limits<float>::quiet_NaN();
  if (pick < 5) return std::numeric_limits<float>::infinity();
  if (pick < 7) return -std::numeric_limits<float>::infinity();
  if (pick < 20) return -0.0f;
  if (pick < 40) return std::bit_cast<float>((random.next() & 0x807fffffu) | 1u);  // subnormal
  if (pick < 90) return (random.unit() - 0.5f) * 8.0f;                             // beyond ±1
  if (pick < 95) return random.unit() < 0.5f ? 1e30f : -1e30f;
  if (pick < 100) return std::bit_cast<float>(random.next());  // any bits at all
  return random.unit() * 2.0f - 1.0f;
}

}  // namespace quenwick::samples
