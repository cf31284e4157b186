// The last step of every conversion path: a float sample, clamped to full scale, as a 16-bit
// sample, so that the paths differ only in how they reach the float.
#pragma once

#include <bit>
#include <cstdint>

namespace quenwick {

// `condition ? x : y`, chosen on the bits so that compilers make it a vector blend and never a
// branch. The comparison that gives `condition` is made either way, as in the plain expression.
inline float select(bool condition, float x, float y) {
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(condition);
  return std::bit_cast<float>((std::bit_cast<std::uint32_t>(x) & mask) |
                              (std::bit_cast<std::uint32_t>(y) & ~mask));
}

// Clamps to ±1, scales by 32767 and truncates toward zero. The upper clamp is written so that
// NaN fails the test and becomes full scale.
inline std::int16_t pcmSample(float v) {
  const float belowOne = select(v < 1.0f, v, 1.0f);
  const float clamped = select(belowOne < -1.0f, -1.0f, belowOne);
  return static_cast<std::int16_t>(clamped * 32767.0f);
}

}  // namespace quenwick
