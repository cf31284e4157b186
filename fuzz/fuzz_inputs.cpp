#include "fuzz_inputs.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>

namespace quenwick::fuzz {
namespace {

template <typename T, std::size_t N>
T pick(FuzzedDataProvider& input, const T (&values)[N]) {
  return values[input.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

}  // namespace

double drawRatio(FuzzedDataProvider& input) {
  using limits = std::numeric_limits<double>;
  static const double kSpecial[] = {
      0.0,
      -0.0,
      -1.0,
      -3.0,
      limits::quiet_NaN(),
      -limits::quiet_NaN(),
      limits::infinity(),
      -limits::infinity(),
      limits::denorm_min(),
      limits::min(),
      limits::epsilon(),
      std::nextafter(1.0 / 64.0, 0.0),
      1.0 / 64.0,
      std::nextafter(1.0 / 64.0, 1.0),
      1.0 / 3.0,
      0.5,
      std::nextafter(1.0, 0.0),
      1.0,
      std::nextafter(1.0, 2.0),
      44100.0 / 16000.0,
      3.0,
      96000.0 / 16000.0,
      192000.0 / 16000.0,
      1e6,
      1e300,
      limits::max(),
  };
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return pick(input, kSpecial);
    case 1:
      return static_cast<double>(input.ConsumeIntegral<std::uint32_t>()) / 16000.0;
    case 2:
      return 1.0 / 64.0 + input.ConsumeIntegral<std::uint8_t>() / 16.0;
    default:
      return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
  }
}

float drawSample(FuzzedDataProvider& input) {
  using limits = std::numeric_limits<float>;
  static const float kSpecial[] = {
      0.0f,
      -0.0f,
      1.0f,
      -1.0f,
      0.5f,
      -0.5f,
      0.99999f,
      -0.99999f,
      std::nextafter(1.0f, 2.0f),
      std::nextafter(-1.0f, -2.0f),
      -32768.0f / 32767.0f,
      1e30f,
      -1e30f,
      limits::quiet_NaN(),
      -limits::quiet_NaN(),
      limits::infinity(),
      -limits::infinity(),
      limits::denorm_min(),
      -limits::denorm_min(),
      limits::max(),
      limits::lowest(),
  };
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return pick(input, kSpecial);
    case 1:
      return static_cast<float>(input.ConsumeIntegral<std::int16_t>()) / 32767.0f;
    case 2:
      return static_cast<float>(input.ConsumeIntegral<std::int8_t>()) / 100.0f;
    default:
      return std::bit_cast<float>(input.ConsumeIntegral<std::uint32_t>());
  }
}

}  // namespace quenwick::fuzz
