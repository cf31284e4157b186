// The checks that the reliability tests rest on must see the faults they are there for: a break
// in what the sink received, a sample cut in two, a gap in the agent's sound, a miscounted
// output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "pcm_stretches.h"
#include "sink_monitor.h"
#include "soak_plan.h"
#include "test_audio.h"

namespace quenwick::reliability {
namespace {

std::vector<std::int16_t> noiseSamples(std::size_t count, std::uint32_t seed) {
  const auto noise = pwtest::randomStereo(count, seed);
  std::vector<std::int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<std::int16_t>(noise[2 * i] * 32767.0f);
  }
  return samples;
}

TEST(SinkContinuity, FollowsASignalAfterSilenceAtTheSinksVolume) {
  const auto played = pwtest::randomStereo(4800, 1);
  std::vector<float> recorded(2 * 100, 0.0f);  // the recorder's first cycles: silence
  for (std::size_t i = 2 * 1000; i < 2 * 3000; ++i) recorded.push_back(0.5f * played[i]);
  const Continuity continuity = followSignal(recorded, played);
  EXPECT_TRUE(continuity.unbroken());
  EXPECT_EQ(continuity.silentFrames, 100u);
  EXPECT_EQ(continuity.playedOffset, 1000u);
  EXPECT_EQ(continuity.matchedFrames, 2000u);
  EXPECT_DOUBLE_EQ(continuity.gain, 0.5);
}

TEST(SinkContinuity, SeesADroppedCycleAndARepeatedOne) {
  const auto played = pwtest::randomStereo(4800, 2);
  std::vector<float> dropped(played.begin(), played.begin() + 2 * 1000);
  dropped.insert(dropped.end(), played.begin() + 2 * 2024, played.end());
  EXPECT_FALSE(followSignal(dropped, played).unbroken());
  EXPECT_EQ(followSignal(dropped, played).matchedFrames, 1000u);

  std::vector<float> repeated(played.begin(), played.begin() + 2 * 2000);
  repeated.insert(repeated.end(), played.begin() + 2 * 976, played.end());
  EXPECT_FALSE(followSignal(repeated, played).unbroken());
}

TEST(PcmStretches, OneGapMakesTwoStretchesAndAByteOutOfPlaceMatchesNothing) {
  const auto reference = noiseSamples(20000, 3);
  // Silence, the reference's first 5000 samples, then all from sample 9000 on. Built sample by
  // sample: GCC 12 at -O3 takes the two range inserts for an overflow that cannot happen.
  std::vector<std::int16_t> captured(50, 0);
  captured.reserve(50 + 5000 + reference.size() - 9000);
  std::copy(reference.begin(), reference.begin() + 5000, std::back_inserter(captured));
  std::copy(reference.begin() + 9000, reference.end(), std::back_inserter(captured));
  Stretches stretches = coverByStretches(captured, {reference});
  EXPECT_EQ(stretches.silentStart, 50u);
  EXPECT_EQ(stretches.count, 2u);
  EXPECT_EQ(stretches.unmatched, 0u);
  EXPECT_EQ(stretches.last, 11000u);

  // One odd byte in the stream shifts every later sample by half a sample.
  std::string bytes(reinterpret_cast<const char*>(reference.data()), 2 * reference.size());
  bytes.insert(bytes.begin() + 2 * 100, '\x01');
  std::vector<std::int16_t> shifted(bytes.size() / 2);
  std::memcpy(shifted.data(), bytes.data(), 2 * shifted.size());
  stretches = coverByStretches(shifted, {reference});
  EXPECT_GT(stretches.unmatched, 19000u);
}

// The resampler's own examples at 48000 Hz (ratio 3): blocks of 480 give 160 samples each,
// blocks of 512 give 171, 170, 171, and a first block of 481 still gives 160.
TEST(SoakOutputCount, CountsWhatTheResamplerGivesForExactRatios) {
  EXPECT_EQ(outputCount(0, 48000), 0u);
  EXPECT_EQ(outputCount(1, 48000), 0u);
  EXPECT_EQ(outputCount(2, 48000), 1u);
  EXPECT_EQ(outputCount(480, 48000), 160u);
  EXPECT_EQ(outputCount(960, 48000), 320u);
  EXPECT_EQ(outputCount(481, 48000), 160u);
  EXPECT_EQ(outputCount(512, 48000), 171u);
  EXPECT_EQ(outputCount(1024, 48000), 171u + 170u);
  EXPECT_EQ(outputCount(1536, 48000), 171u + 170u + 171u);
  // Upsampling by two: the block 0, 1, 0.5, -1 gives six samples.
  EXPECT_EQ(outputCount(4, 8000), 6u);
  EXPECT_EQ(outputCount(4, 16000), 3u);
}

}  // namespace
}  // namespace quenwick::reliability
