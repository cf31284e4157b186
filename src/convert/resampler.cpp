#include "convert/resampler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

namespace quenwick {
namespace {

constexpr double kSmallestRatio = 1.0 / 64.0;

// Room for the output of a block of `frames` samples: at most frames / ratio + 1 positions fall
// inside it, plus one for the rounding of the repeated addition.
std::size_t outputRoom(std::size_t frames, double ratio) {
  return static_cast<std::size_t>(static_cast<double>(frames) / ratio) + 2;
}

// Linear interpolation, clamping and scaling of one output sample. Each operation rounds to
// float on its own (the library is built without floating-point contraction). The upper clamp
// is written so that NaN fails the test and becomes full scale.
inline std::int16_t outputSample(float a, float b, float frac) {
  const float v = a + (b - a) * frac;
  float clamped = v < 1.0f ? v : 1.0f;
  clamped = clamped < -1.0f ? -1.0f : clamped;
  return static_cast<std::int16_t>(clamped * 32767.0f);
}

// The number of binary digits after the point that `x` (finite, not negative) needs.
int fractionBits(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  if (mantissa == 0 && biased == 0) return 0;
  int exponent = -1074;  // x = mantissa * 2^exponent
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  return std::max(0, -(exponent + std::countr_zero(mantissa)));
}

// When the position and the ratio are multiples of 2^-e and every position up to last + ratio
// stays below 2^(53 - e), each repeated addition is exact, so the k-th position is exactly
// p + k * ratio. This holds for the common rates whose ratio is a short binary fraction
// (48000 Hz gives 3, 8000 Hz gives 0.5), and lets the positions be computed independently
// instead of in one long chain of additions.
bool advancesExactly(double p, double step, double last) {
  const int e = std::max(fractionBits(p), fractionBits(step));
  return last + step < std::ldexp(1.0, 53 - e);
}

}  // namespace

bool isUsableRatio(double ratio) {
  return std::isfinite(ratio) && ratio >= kSmallestRatio;
}

Resampler::Resampler(std::size_t expectedFrames)
    : output_(outputRoom(expectedFrames, kSmallestRatio)) {}

void Resampler::reset(double newRatio) {
  ratio = newRatio;
  position = 0.0;
  haveCarry = false;
}

// The block is read as the sequence w = [carry,] block, of length n, at positions position,
// position + ratio, ... below n - 1. Rather than copying the block behind the carry, the segment
// between the carry and the block's first sample is served on its own, and the rest reads the
// block directly at an index shifted by one.
std::span<const std::int16_t> Resampler::process(std::span<const float> mono) {
  const std::size_t m = mono.size();
  if (m == 0 || !isUsableRatio(ratio)) return {};

  const std::size_t room = outputRoom(m, ratio);
  if (room > output_.size()) output_.resize(room);  // only for a block larger than any before

  const double step = ratio;
  const std::ptrdiff_t shift = haveCarry ? 1 : 0;
  const double last = static_cast<double>(m - 1) + static_cast<double>(shift);
  std::int16_t* const out = output_.data();
  const std::size_t capacity = output_.size();
  const float* const block = mono.data();

  // The position advances by repeated addition, never as k * ratio in general, so that every
  // read position rounds the same however the stream is cut into blocks.
  double p = position;
  std::size_t k = 0;
  if (haveCarry) {
    const float b = block[0];
    for (; p < 1.0 && p < last && k < capacity; p += step) {
      out[k++] = outputSample(carry, b, static_cast<float>(p));
    }
  }
  if (p < last && advancesExactly(p, step, last)) {
    // Exact arithmetic: the quotient cannot round across a whole number, so this is the count
    // of positions below last.
    const auto count =
        std::min(static_cast<std::size_t>(std::ceil((last - p) / step)), capacity - k);
    const auto first = static_cast<std::int64_t>(p);
    if (step == std::trunc(step)) {
      // A whole-sample step keeps the fraction of the first position throughout.
      const float frac = static_cast<float>(p - static_cast<double>(first));
      const auto stride = static_cast<std::size_t>(step);
      const float* pair = block + (first - shift);
      for (std::size_t j = 0; j < count; ++j) {
        out[k + j] = outputSample(pair[j * stride], pair[j * stride + 1], frac);
      }
    } else {
      for (std::size_t j = 0; j < count; ++j) {
        const double q = p + static_cast<double>(j) * step;
        const auto i = static_cast<std::int64_t>(q);
        const float* pair = block + (i - shift);
        out[k + j] = outputSample(pair[0], pair[1], static_cast<float>(q - static_cast<double>(i)));
      }
    }
    k += count;
    p += static_cast<double>(count) * step;
  }
  for (; p < last && k < capacity; p += step) {
    const auto i = static_cast<std::int64_t>(p);
    const float frac = static_cast<float>(p - static_cast<double>(i));
    const float* pair = block + (i - shift);
    out[k++] = outputSample(pair[0], pair[1], frac);
  }
  // Never taken while the room above holds; it keeps the next position inside the ratio should
  // the output ever run out, dropping samples rather than reading before the next block.
  while (p < last) p += step;

  carry = block[m - 1];
  haveCarry = true;
  position = p - last;
  return {out, k};
}

}  // namespace quenwick
