// The resampler written the plain way, for comparison with the real one: the working sequence is
// built in full (carry, then the block), and every output position is read from it directly.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quenwick::fuzz {

struct ResamplerState {
  double ratio = 0.0;
  double position = 0.0;
  float carry = 0.0f;
  bool haveCarry = false;
};

// Finite and at least 1/64: the ratios the agent converts at; blocks at any other are dropped.
bool isConvertibleRatio(double ratio);

// Converts one block, advancing `state`. An empty block, or one at a ratio that cannot be used,
// gives nothing and leaves `state` as it was.
std::vector<std::int16_t> referenceProcess(ResamplerState& state, std::span<const float> mono);

// Whether two states are the same bit for bit (so a NaN carry equals itself).
bool sameState(const ResamplerState& a, const ResamplerState& b);

// What every converted block must satisfy, given the state before and after it and its output.
void checkBlock(const ResamplerState& before, const ResamplerState& after,
                std::span<const float> mono, std::span<const std::int16_t> out);

}  // namespace quenwick::fuzz
