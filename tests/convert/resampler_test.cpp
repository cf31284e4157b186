#include "convert/resampler.h"

#include <gtest/gtest.h>

#include "convert/reference_resampler.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quenwick {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<std::int16_t> run(Resampler& resampler, const std::vector<float>& block) {
  const auto out = resampler.process(block);
  return {out.begin(), out.end()};
}

// Samples whose value tells where they came from, inside full scale.
std::vector<float> pattern(std::size_t count) {
  std::vector<float> samples(count);
  for (std::size_t j = 0; j < count; ++j) {
    samples[j] = static_cast<float>(static_cast<int>((j * 37) % 201) - 100) / 100.0f;
  }
  return samples;
}

std::int16_t scaled(float v) {
  return static_cast<std::int16_t>(v * 32767.0f);
}

struct BlockScheme {
  const char* name;
  std::size_t blockSize;
  std::vector<std::size_t> counts;  // samples out of each successive block
  std::vector<double> positions;    // position after each block
};

// At ratio 3.0 every read position is a whole sample, so however the stream is cut the output is
// the input at 0, 3, 6, ...; the cut only decides which block serves which sample.
TEST(Resampler, RatioThreeBlockSchemes) {
  const std::vector<BlockScheme> schemes = {
      {"480", 480, {160, 160, 160, 160}, {1, 1, 1, 1}},
      {"512", 512, {171, 170, 171, 171, 170, 171}, {2, 0, 1, 2, 0, 1}},
      {"481", 481, {160, 161, 160, 160, 161, 160}, {0, 2, 1, 0, 2, 1}},
  };
  for (const auto& scheme : schemes) {
    SCOPED_TRACE(scheme.name);
    const auto input = pattern(scheme.blockSize * scheme.counts.size());
    Resampler resampler;
    resampler.reset(3.0);
    std::vector<std::int16_t> all;
    for (std::size_t b = 0; b < scheme.counts.size(); ++b) {
      const std::vector<float> block(input.begin() + b * scheme.blockSize,
                                     input.begin() + (b + 1) * scheme.blockSize);
      const auto out = run(resampler, block);
      EXPECT_EQ(out.size(), scheme.counts[b]) << "block " << b;
      EXPECT_EQ(resampler.position, scheme.positions[b]) << "block " << b;
      EXPECT_TRUE(resampler.haveCarry);
      EXPECT_EQ(resampler.carry, block.back());
      all.insert(all.end(), out.begin(), out.end());
    }
    // Positions 0, 3, ... up to the one before the last sample; the last waits for its successor.
    ASSERT_EQ(all.size(), (input.size() - 2) / 3 + 1);
    for (std::size_t k = 0; k < all.size(); ++k) ASSERT_EQ(all[k], scaled(input[3 * k])) << k;
  }
}

TEST(Resampler, UpsamplesAtHalfRatio) {
  Resampler resampler;
  resampler.reset(0.5);
  EXPECT_EQ(run(resampler, {0.0f, 1.0f, 0.5f, -1.0f}),
            (std::vector<std::int16_t>{0, 16383, 32767, 24575, 16383, -8191}));
  EXPECT_EQ(resampler.position, 0.0);
  EXPECT_EQ(resampler.carry, -1.0f);
  EXPECT_TRUE(resampler.haveCarry);
  // The next block starts by interpolating from the carry.
  EXPECT_EQ(run(resampler, {0.0f}), (std::vector<std::int16_t>{-32767, -16383}));
}

TEST(Resampler, EmptyBlockChangesNothing) {
  Resampler resampler;
  resampler.reset(2.75625);
  run(resampler, pattern(500));
  const double position = resampler.position;
  const float carry = resampler.carry;

  EXPECT_TRUE(run(resampler, {}).empty());
  EXPECT_EQ(resampler.position, position);
  EXPECT_EQ(resampler.carry, carry);
  EXPECT_TRUE(resampler.haveCarry);
}

TEST(Resampler, OneSampleFirstBlockBecomesTheCarry) {
  Resampler resampler;
  resampler.reset(3.0);
  EXPECT_TRUE(run(resampler, {0.25f}).empty());
  EXPECT_TRUE(resampler.haveCarry);
  EXPECT_EQ(resampler.carry, 0.25f);
  EXPECT_EQ(resampler.position, 0.0);
  // Position 0 now falls on the carry, ahead of the new block.
  EXPECT_EQ(run(resampler, {-0.5f, 0.0f, 0.0f, 0.0f}), (std::vector<std::int16_t>{8191, 0}));
}

TEST(Resampler, SampleOnABlockEdgeComesFromTheCarry) {
  Resampler resampler;
  resampler.reset(3.0);
  auto first = pattern(481);
  first[480] = 0.75f;
  EXPECT_EQ(run(resampler, first).size(), 160u);
  const auto next = run(resampler, {0.0f, 0.0f, 0.0f, 0.0f});
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next.front(), scaled(0.75f));
}

TEST(Resampler, ResetDropsPhaseAndCarry) {
  Resampler resampler;
  resampler.reset(3.0);
  run(resampler, pattern(512));
  resampler.reset(2.0);
  EXPECT_EQ(resampler.position, 0.0);
  EXPECT_FALSE(resampler.haveCarry);
  // After a reset the first output is the block's own first sample.
  EXPECT_EQ(run(resampler, {-0.5f, 0.9f, 0.9f}), (std::vector<std::int16_t>{-16383}));
}

// A pair of equal samples read at its first position converts the value itself.
TEST(Resampler, ClampsAndTruncates) {
  const struct {
    float in;
    std::int16_t out;
  } cases[] = {
      {1.0f, 32767},
      {-1.0f, -32767},
      {1.5f, 32767},
      {-1.5f, -32767},
      {0.5f, 16383},
      {-0.5f, -16383},
      {0.99999f, 32766},
      {0.0f, 0},
      {-0.0f, 0},
      {1e-40f, 0},
      {kNaN, 32767},
      {kInf, 32767},
      {-32768.0f, -32767},
      // inf - inf is not a number, so even a pair of -inf reads as full scale.
      {-kInf, 32767},
  };
  for (const auto& c : cases) {
    Resampler resampler;
    resampler.reset(1.0);
    EXPECT_EQ(run(resampler, {c.in, c.in}), (std::vector<std::int16_t>{c.out})) << c.in;
  }
}

TEST(Resampler, NotANumberPoisonsEveryPositionTouchingIt) {
  Resampler resampler;
  resampler.reset(0.5);
  // Positions 0, 0.5, 1, 1.5, 2, 2.5: position 1 falls exactly on the sample before the NaN,
  // where b - a is still not a number.
  EXPECT_EQ(run(resampler, {0.25f, 0.5f, kNaN, 0.5f}),
            (std::vector<std::int16_t>{8191, 12287, 32767, 32767, 32767, 32767}));
  // The NaN is not the carry, so the next block is clean again.
  EXPECT_EQ(run(resampler, {0.5f}), (std::vector<std::int16_t>{16383, 16383}));
}

TEST(Resampler, UnusableRatiosDropTheBlockAndKeepTheState) {
  for (const double ratio : {0.0, -3.0, std::nan(""), HUGE_VAL, -HUGE_VAL, 1.0 / 65.0}) {
    SCOPED_TRACE(ratio);
    EXPECT_FALSE(isUsableRatio(ratio));
    Resampler resampler;
    resampler.reset(ratio);
    resampler.position = 0.25;
    resampler.carry = 0.5f;
    EXPECT_TRUE(run(resampler, pattern(64)).empty());
    EXPECT_EQ(resampler.position, 0.25);
    EXPECT_EQ(resampler.carry, 0.5f);
    EXPECT_FALSE(resampler.haveCarry);
  }
}

TEST(Resampler, SmallestUsableRatioUpsamplesSixtyFourTimes) {
  EXPECT_TRUE(isUsableRatio(1.0 / 64.0));
  Resampler resampler;
  resampler.reset(1.0 / 64.0);
  const auto out = run(resampler, {0.0f, 1.0f});
  ASSERT_EQ(out.size(), 64u);
  EXPECT_EQ(out[32], 16383);
  EXPECT_EQ(out[63], scaled(63.0f / 64.0f));
}

// Streams of irregular blocks against the plain reference. The ratios cover whole and binary
// fraction steps, where positions can be computed without a chain of additions, right up to the
// block length at which that stops being exact (1 + 2^-40 is exact below 2^13 samples), and
// ratios that round at every step.
TEST(Resampler, StreamsMatchThePlainReference) {
  const double ratios[] = {
      3.0,     0.5,      1.5, 6.0,       1.0 + std::ldexp(1.0, -40), 0.75 + std::ldexp(1.0, -30),
      2.75625, 1.378125, 0.1, 1.0 / 64.0};
  const double starts[] = {0.0, 0.375, 1.0 / 3.0};
  std::uint32_t seed = 99;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (const double ratio : ratios) {
    for (const double start : starts) {
      SCOPED_TRACE(::testing::Message() << "ratio " << ratio << " from " << start);
      Resampler resampler;
      resampler.reset(ratio);
      resampler.position = start;
      reference::ReferenceResampler expected{ratio, start};
      std::vector<std::int16_t> want;
      for (int b = 0; b < 24; ++b) {
        const std::size_t size = b % 6 == 0 ? 8000 + next() % 10000 : next() % 700;
        std::vector<float> block(size);
        for (float& x : block) {
          const std::uint32_t r = next();
          x = r % 97 == 0   ? kNaN
              : r % 89 == 0 ? -kInf
                            : (static_cast<float>(r % 4001) - 2000.0f) / 1700.0f;
        }
        want.clear();
        expected.emit(block, want);
        ASSERT_EQ(run(resampler, block), want) << "block " << b << " of " << size;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(resampler.position),
                  std::bit_cast<std::uint64_t>(expected.position));
      }
    }
  }
}

// A block far larger than the room reserved at construction must grow the output rather than
// write past it.
TEST(Resampler, BlockLargerThanExpectedGrowsTheOutput) {
  Resampler resampler(16);
  resampler.reset(1.0 / 64.0);
  const auto out = run(resampler, std::vector<float>(10000, 0.5f));
  EXPECT_EQ(out.size(), 9999u * 64u);
  EXPECT_EQ(out.back(), 16383);
}

// Fused multiply-add rounds a + (b - a) * frac once instead of twice. Find inputs where that
// changes the 16-bit sample, and check that the resampler gives the twice-rounded one.
TEST(Resampler, InterpolationIsNotContracted) {
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / 16777216.0f;  // [0, 1)
  };
  float a = 0, b = 0, frac = 0;
  bool found = false;
  for (int tries = 0; tries < 10'000'000 && !found; ++tries) {
    a = next() * 2.0f - 1.0f;
    b = next() * 2.0f - 1.0f;
    frac = 0.25f + next() * 0.5f;
    const float separate = a + (b - a) * frac;
    const float fused = std::fma(b - a, frac, a);
    found = scaled(separate) != scaled(fused);
  }
  ASSERT_TRUE(found) << "no inputs where contraction changes the sample";
  const float separate = a + (b - a) * frac;
  ASSERT_NE(scaled(separate), scaled(std::fma(b - a, frac, a)));

  // Reads at 0 and at frac: the second output interpolates between a and b.
  Resampler resampler;
  resampler.reset(frac);
  const auto out = run(resampler, {a, b});
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[1], scaled(separate));
}

}  // namespace
}  // namespace quenwick
