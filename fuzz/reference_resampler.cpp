#include "reference_resampler.h"

#include <bit>
#include <cmath>
#include <cstddef>

#include "convert/reference_resampler.h"
#include "require.h"

namespace quenwick::fuzz {

bool isConvertibleRatio(double ratio) {
  return std::isfinite(ratio) && ratio >= 1.0 / 64.0;
}

std::vector<std::int16_t> referenceProcess(ResamplerState& state, std::span<const float> mono) {
  std::vector<std::int16_t> out;
  if (mono.empty() || !isConvertibleRatio(state.ratio)) return out;
  // The same plain loop that the unit tests hold the resampler to.
  reference::ReferenceResampler plain{state.ratio, state.position, state.carry, state.haveCarry};
  plain.emit(std::vector<float>(mono.begin(), mono.end()), out);
  state = {plain.ratio, plain.position, plain.carry, plain.haveCarry};
  return out;
}

bool sameState(const ResamplerState& a, const ResamplerState& b) {
  return std::bit_cast<std::uint64_t>(a.ratio) == std::bit_cast<std::uint64_t>(b.ratio) &&
         std::bit_cast<std::uint64_t>(a.position) == std::bit_cast<std::uint64_t>(b.position) &&
         std::bit_cast<std::uint32_t>(a.carry) == std::bit_cast<std::uint32_t>(b.carry) &&
         a.haveCarry == b.haveCarry;
}

void checkBlock(const ResamplerState& before, const ResamplerState& after,
                std::span<const float> mono, std::span<const std::int16_t> out) {
  FUZZ_REQUIRE(std::bit_cast<std::uint64_t>(after.ratio) ==
               std::bit_cast<std::uint64_t>(before.ratio));
  if (mono.empty() || !isConvertibleRatio(before.ratio)) {
    FUZZ_REQUIRE(out.empty());
    FUZZ_REQUIRE(sameState(before, after));
    return;
  }

  const double m = static_cast<double>(mono.size());
  FUZZ_REQUIRE(out.size() <= static_cast<std::size_t>(m / before.ratio) + 2);
  for (const std::int16_t sample : out) FUZZ_REQUIRE(sample >= -32767);

  FUZZ_REQUIRE(after.haveCarry);
  FUZZ_REQUIRE(std::bit_cast<std::uint32_t>(after.carry) ==
               std::bit_cast<std::uint32_t>(mono.back()));
  // The next read position lies inside one step, up to the rounding of the last addition and
  // subtraction, which scale with the numbers involved.
  const double last = m - (before.haveCarry ? 0.0 : 1.0);
  const double slack = (before.ratio + last) * 0x1p-50;
  FUZZ_REQUIRE(after.position >= 0.0);
  FUZZ_REQUIRE(after.position < before.ratio + slack);
}

}  // namespace quenwick::fuzz
