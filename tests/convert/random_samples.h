// Awkward samples for the conversion's tests: mostly sound, with every kind of value a capture
// could hand over mixed in, from a seeded generator.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quenwick {

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 32);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
  double unit() { return next() / 4294967296.0; }
  // Mostly sound, with every kind of value a tap could hand over mixed in.
  float awkward() {
    const std::uint32_t pick = below(1000);
    if (pick < 3) return kNaN;
    if (pick < 7) return pick < 5 ? INFINITY : -INFINITY;
    if (pick < 20) return -0.0f;
    if (pick < 40) return std::bit_cast<float>((next() & 0x807fffffu) | 1u);  // subnormal
    if (pick < 90) return static_cast<float>(unit() - 0.5) * 8.0f;            // beyond ±1
    if (pick < 100) return std::bit_cast<float>(next());                      // any bits
    return static_cast<float>(unit() * 2.0 - 1.0);
  }
};

}  // namespace quenwick
