#include "convert/resampler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "convert/pcm_sample.h"
#include "convert/vector_clones.h"

namespace quenwick {
namespace {

constexpr double kSmallestRatio = 1.0 / 64.0;

// The bulk loops below index the block with 32-bit integers, which vectorise on every target.
// Blocks never come near this (a buffer's byte count is 32 bits); beyond it the plain loop runs.
constexpr double kIndexLimit = 2147483648.0;

// The bulk loops gather the interpolation inputs of this many output samples at a time into
// arrays on the stack, then convert them together.
constexpr std::size_t kChunk = 256;

// Room for the output of a block of `frames` samples: at most frames / ratio + 1 positions fall
// inside it, plus one for the rounding of the repeated addition.
std::size_t outputRoom(std::size_t frames, double ratio) {
  return static_cast<std::size_t>(static_cast<double>(frames) / ratio) + 2;
}

// Linear interpolation, then clamping and scaling. Each operation rounds to float on its own (the
// library is built without floating-point contraction).
inline std::int16_t outputSample(float a, float b, float frac) {
  return pcmSample(a + (b - a) * frac);
}

// The output sample at position p of the working sequence, whose element i is block[i - shift].
inline std::int16_t sampleAt(const float* block, std::ptrdiff_t shift, double p) {
  const auto i = static_cast<std::int64_t>(p);
  const float* pair = block + (i - shift);
  return outputSample(pair[0], pair[1], static_cast<float>(p - static_cast<double>(i)));
}

[[gnu::always_inline]] inline void convertAll(const float* a, const float* b, const float* frac,
                                              std::size_t count, std::int16_t* out) {
  for (std::size_t j = 0; j < count; ++j) out[j] = outputSample(a[j], b[j], frac[j]);
}

[[gnu::always_inline]] inline void convertAllAt(const float* a, const float* b, float frac,
                                                std::size_t count, std::int16_t* out) {
  for (std::size_t j = 0; j < count; ++j) out[j] = outputSample(a[j], b[j], frac);
}

// Pairs `stride` samples apart, all at one fraction. A `Stride` of 0 takes the run-time stride;
// the common ones are spelled out so that the compiler can lay out their loads.
template <std::size_t Stride>
[[gnu::always_inline]] inline void stridedPairs(const float* pair, std::size_t anyStride,
                                                std::size_t count, float frac, std::int16_t* out) {
  const std::size_t stride = Stride != 0 ? Stride : anyStride;
  float a[kChunk];
  float b[kChunk];
  for (std::size_t done = 0; done < count; done += kChunk) {
    const std::size_t n = std::min(kChunk, count - done);
    const float* first = pair + done * stride;
    for (std::size_t j = 0; j < n; ++j) {
      a[j] = first[j * stride];
      b[j] = first[j * stride + 1];
    }
    convertAllAt(a, b, frac, n, out + done);
  }
}

// `count` output samples at positions a whole number of samples apart, starting with the pair at
// `pair`: the fraction of the first position is kept throughout.
QUENWICK_VECTOR_CLONES
void wholeSteps(const float* pair, std::size_t stride, std::size_t count, float frac,
                std::int16_t* out) {
  switch (stride) {
    case 1:
      return convertAllAt(pair, pair + 1, frac, count, out);
    case 2:
      return stridedPairs<2>(pair, stride, count, frac, out);
    case 3:
      return stridedPairs<3>(pair, stride, count, frac, out);
    case 4:
      return stridedPairs<4>(pair, stride, count, frac, out);
    case 6:
      return stridedPairs<6>(pair, stride, count, frac, out);
    default:
      return stridedPairs<0>(pair, stride, count, frac, out);
  }
}

// The output samples of read positions given as the index of their pair in the block and their
// fraction. The loads at scattered indices stay a plain loop; the arithmetic vectorises.
[[gnu::always_inline]] inline void interpolate(const float* block, const std::int32_t* index,
                                               const float* frac, std::int32_t count,
                                               std::int16_t* out) {
  float a[kChunk];
  float b[kChunk];
  for (std::int32_t j = 0; j < count; ++j) {
    a[j] = block[index[j]];
    b[j] = block[index[j] + 1];
  }
  convertAll(a, b, frac, static_cast<std::size_t>(count), out);
}

// Position q (at least `shift`, below 2^31) as the index of its pair in the block and its
// fraction.
[[gnu::always_inline]] inline void split(double q, std::int32_t shift, std::int32_t& index,
                                         float& frac) {
  const auto i = static_cast<std::int32_t>(q);
  frac = static_cast<float>(q - static_cast<double>(i));
  index = i - shift;
}

// `count` output samples at positions p + j * step, each of which the caller knows to be exactly
// the position that repeated addition reaches. Positions are at least `shift` and below 2^31.
QUENWICK_VECTOR_CLONES
void steps(const float* block, std::int32_t shift, double p, double step, std::size_t count,
           std::int16_t* out) {
  std::int32_t index[kChunk];
  float frac[kChunk];
  for (std::size_t done = 0; done < count; done += kChunk) {
    const auto n = static_cast<std::int32_t>(std::min(kChunk, count - done));
    const double start = p + static_cast<double>(done) * step;
    for (std::int32_t j = 0; j < n; ++j) {
      split(start + static_cast<double>(j) * step, shift, index[j], frac[j]);
    }
    interpolate(block, index, frac, n, out + done);
  }
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

// The binade of a position: [2^(e-1), 2^e) holds it, and its spacing there is 2^(e-53).
struct Binade {
  int e;
  double top;  // 2^e
};

Binade binadeOf(double p) {
  const auto biased = static_cast<int>((std::bit_cast<std::uint64_t>(p) >> 52) & 0x7ff);
  return {biased - 1022, std::bit_cast<double>(static_cast<std::uint64_t>(biased + 1) << 52)};
}

// The exponent of the lowest set bit of `x` (positive and normal): x is an odd multiple of it.
int lowestBit(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  return biased - 1075 + std::countr_zero(mantissa);
}

// Output positions from p on, below `last`, for a ratio whose additions round. Inside one binade
// every position is a multiple of the binade's spacing u, so each addition of `step` adds the same
// multiple d of u: step rounded to u, which does not depend on the position unless step lies
// exactly halfway between two multiples (then rounding to even alternates). Such a run of
// positions is p + j * d exactly, as long as each addition stays inside the binade; the addition
// that leaves it is made on its own, as are those below 1, those of binades too short for a run
// to pay, and the halfway cases. Returns the samples written and leaves p at the first position
// at or beyond `last`, or beyond the room. Positions stay below 2^31.
QUENWICK_VECTOR_CLONES
std::size_t roundedSteps(const float* block, std::int32_t shift, double& position, double step,
                         double last, std::int16_t* out, std::size_t room) {
  // Runs shorter than this are not worth setting up; their positions are added one by one.
  constexpr double kShortestRun = 8.0;
  const int stepLowestBit = lowestBit(step);
  std::int32_t index[kChunk];
  float frac[kChunk];
  double p = position;
  std::size_t k = 0;   // samples written
  std::int32_t n = 0;  // positions split into index and frac, not yet written
  const auto chunk = static_cast<std::int32_t>(kChunk);
  // Below `low` no binade is long enough for a run: plain repeated addition there.
  double low = 1.0;
  while (low < kShortestRun * step) low *= 2.0;
  low = std::min(low, last);
  while (p < last && k + static_cast<std::size_t>(n) < room) {
    if (n == chunk) {
      interpolate(block, index, frac, n, out + k);
      k += kChunk;
      n = 0;
    }
    if (p < low) {
      const std::int32_t free = static_cast<std::int32_t>(
          std::min(kChunk - static_cast<std::size_t>(n), room - k - static_cast<std::size_t>(n)));
      for (std::int32_t j = 0; j < free && p < low; ++j, p += step) {
        split(p, shift, index[n], frac[n]);
        ++n;
      }
      continue;
    }
    const double next = p + step;
    const Binade binade = binadeOf(p);
    const bool halfway = stepLowestBit == binade.e - 54;
    if (p < 1.0 || halfway || binade.top - p < kShortestRun * step) {
      split(p, shift, index[n], frac[n]);
      ++n;
      p = next;
      continue;
    }
    // Both in the same binade, so the difference is exact: the rounded step of this binade.
    const double d = next - p;
    // From any position below top - d the next addition stays inside the binade.
    const double bound = std::min(last, binade.top - d);
    auto run = static_cast<std::size_t>(std::ceil((bound - p) / d));
    // The quotient may round; the positions themselves are exact, so settle the count on them.
    while (run > 1 && p + static_cast<double>(run - 1) * d >= bound) --run;
    while (p + static_cast<double>(run) * d < bound) ++run;
    const auto length = static_cast<std::int32_t>(std::min(
        {run, kChunk - static_cast<std::size_t>(n), room - k - static_cast<std::size_t>(n)}));
    for (std::int32_t j = 0; j < length; ++j) {
      split(p + static_cast<double>(j) * d, shift, index[n + j], frac[n + j]);
    }
    n += length;
    p += static_cast<double>(length) * d;
  }
  interpolate(block, index, frac, n, out + k);
  position = p;
  return k + static_cast<std::size_t>(n);
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
  const std::int32_t shift = haveCarry ? 1 : 0;
  const double last = static_cast<double>(m - 1) + static_cast<double>(shift);
  std::int16_t* const out = output_.data();
  const std::size_t capacity = output_.size();
  const float* const block = mono.data();

  // The position advances by repeated addition, never as k * ratio in general, so that every
  // read position rounds the same however the stream is cut into blocks. The bulk below computes
  // positions independently only where that gives the very same values.
  double p = position;
  std::size_t k = 0;
  if (haveCarry) {
    const float b = block[0];
    for (; p < 1.0 && p < last && k < capacity; p += step) {
      out[k++] = outputSample(carry, b, static_cast<float>(p));
    }
  }
  if (p < last && last < kIndexLimit) {
    if (advancesExactly(p, step, last)) {
      // Exact arithmetic: the quotient cannot round across a whole number, so this is the count
      // of positions below last.
      const auto count =
          std::min(static_cast<std::size_t>(std::ceil((last - p) / step)), capacity - k);
      if (step == std::trunc(step)) {
        // A whole-sample step keeps the fraction of the first position throughout.
        const auto first = static_cast<std::int64_t>(p);
        wholeSteps(block + (first - shift), static_cast<std::size_t>(step), count,
                   static_cast<float>(p - static_cast<double>(first)), out + k);
      } else {
        steps(block, shift, p, step, count, out + k);
      }
      k += count;
      p += static_cast<double>(count) * step;
    } else {
      k += roundedSteps(block, shift, p, step, last, out + k, capacity - k);
    }
  }
  for (; p < last && k < capacity; p += step) out[k++] = sampleAt(block, shift, p);
  // Never taken while the room above holds; it keeps the next position inside the ratio should
  // the output ever run out, dropping samples rather than reading before the next block.
  while (p < last) p += step;

  carry = block[m - 1];
  haveCarry = true;
  position = p - last;
  return {out, k};
}

}  // namespace quenwick
