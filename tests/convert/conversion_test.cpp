// The conversion through its public functions: worked values for the resampler and the downmix,
// and long streams of awkward samples, in every layout and at rates and read positions on the
// edges of the fast paths, cut every way, against the plain reference.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#include "convert/capture_callback.h"
#include "convert/downmix.h"
#include "convert/random_samples.h"
#include "convert/reference.h"
#include "convert/resampler.h"
#include "convert/sample_layout.h"

namespace quenwick {
namespace {

std::vector<std::int16_t> resample(double ratio, const std::vector<std::vector<float>>& blocks,
                                   std::vector<double>* positions = nullptr) {
  Resampler resampler;
  resampler.reset(ratio);
  std::vector<std::int16_t> out;
  for (const auto& block : blocks) {
    const auto samples = resampler.process(block);
    out.insert(out.end(), samples.begin(), samples.end());
    if (positions) positions->push_back(resampler.position);
  }
  return out;
}

TEST(Resampler, WorkedValues) {
  // Truncation toward zero after clamping, NaN as full scale wherever it takes part.
  EXPECT_EQ(resample(1.0, {{1.0f, -1.0f, 1.5f, -1.5f, 0.99999f, -0.5f, 0.5f, 1e-6f, 0}}),
            (std::vector<std::int16_t>{32767, -32767, 32767, -32767, 32766, -16383, 16383, 0}));
  EXPECT_EQ(resample(0.5, {{0, kNaN, 0}}), (std::vector<std::int16_t>{32767, 32767, 32767, 32767}));
  std::vector<double> positions;
  EXPECT_EQ(resample(0.5, {{0.0f, 1.0f, 0.5f, -1.0f}}, &positions),
            (std::vector<std::int16_t>{0, 16383, 32767, 24575, 16383, -8191}));
  EXPECT_EQ(positions, std::vector<double>{0.0});
  // Ratio 3: the block sizes decide how the samples fall, and the position runs in a cycle.
  struct Scheme {
    std::size_t size;
    std::size_t counts[3];
    double positions[3];
  };
  for (const Scheme& scheme :
       {Scheme{480, {160, 160, 160}, {1, 1, 1}}, Scheme{512, {171, 170, 171}, {2, 0, 1}},
        Scheme{481, {160, 161, 160}, {0, 2, 1}}}) {
    Resampler resampler;
    resampler.reset(3.0);
    for (std::size_t b = 0; b < 3; ++b) {
      const std::vector<float> block(scheme.size, 0.25f);
      EXPECT_EQ(resampler.process(block).size(), scheme.counts[b]) << scheme.size;
      EXPECT_EQ(resampler.position, scheme.positions[b]) << scheme.size;
    }
  }
  // A first block of one sample is all carry; an empty one changes nothing; the carry is read
  // first in the block that follows.
  Resampler resampler;
  resampler.reset(3.0);
  EXPECT_TRUE(resampler.process(std::vector<float>{0.5f}).empty());
  EXPECT_TRUE(resampler.process({}).empty());
  EXPECT_TRUE(resampler.haveCarry && resampler.carry == 0.5f && resampler.position == 0.0);
  EXPECT_EQ(resampler.process(std::vector<float>{-0.5f, 0, 0, 0}).front(), 16383);
  // Unusable ratios convert nothing and keep the state.
  for (const double ratio : {0.0, -3.0, 1.0 / 65, double(kNaN), double(INFINITY)}) {
    EXPECT_TRUE(resample(ratio, {{0.5f, 0.5f, 0.5f}}).empty()) << ratio;
  }
}

std::vector<float> downmixed(SampleLayout layout, std::uint32_t channels, std::uint32_t frames,
                             std::vector<SamplePlane> planes) {
  CapturedCycle cycle;
  cycle.planes = planes;
  cycle.frames = frames;
  cycle.format = describeStream(layout, 48000, channels);
  std::vector<float> mono;
  downmix(cycle, mono);
  return mono;
}

// What a tap's lists cannot say (see the Core Audio list tests for what they can): a block that
// holds fewer frames than its cycle, and planes without samples, are silence.
TEST(Downmix, PlanesWithoutSamplesAreSilence) {
  using V = std::vector<float>;
  const float stereo[] = {0.5f, -0.25f, 1, 0};
  EXPECT_EQ(downmixed(SampleLayout::f32, 2, 3, {{stereo, 1}}), (V{0.125f, 0, 0}));
  EXPECT_EQ(downmixed(SampleLayout::s16, 1, 2, {{nullptr, 2}}), (V{0, 0}));
  EXPECT_EQ(downmixed(SampleLayout::planar, 2, 2, {{nullptr, 0}, {stereo, 3}}),
            (V{0.25f, -0.125f}));
}

// A cycle is sound when the host reads a sample that is not zero from it, at either quality: a
// dither of ±1/32768 on zeros (as PipeWire gives a 16-bit player's) is silence, and so is sound
// too quiet to reach the 16-bit grid; one step of it is sound.
TEST(CycleConverter, SoundIsWhatTheHostReads) {
  const float dither = 1.0f / 32768;
  struct Case {
    const char* what;
    SampleLayout layout;
    std::vector<float> stereo;  // interleaved frames, repeated through the cycle
    bool sound;
  };
  for (const Quality quality : {Quality::linear, Quality::high}) {
    for (const Case& c : {
             Case{"exact zeros", SampleLayout::f32, {0, 0}, false},
             Case{"dither on both channels",
                  SampleLayout::f32,
                  {dither, -dither, dither, dither},
                  false},
             Case{"half a step", SampleLayout::f32, {1.0f / 65536, 1.0f / 65536}, false},
             Case{"one step", SampleLayout::f32, {1.0f / 32767, 1.0f / 32767}, true},
             Case{"one 16-bit step", SampleLayout::s16, {}, true},
         }) {
      CycleConverter convert(quality);
      std::vector<float> frames(2 * 4800);
      for (std::size_t i = 0; i < frames.size() && !c.stereo.empty(); ++i) {
        frames[i] = c.stereo[i % c.stereo.size()];
      }
      const std::vector<std::int16_t> steps(2 * 4800, 1);  // one 16-bit step on both channels
      const SamplePlane plane{
          c.layout == SampleLayout::s16 ? static_cast<const void*>(steps.data()) : frames.data(),
          4800};
      bool sound = false;
      for (int cycle = 0; cycle < 4; ++cycle) {  // the high path's output starts after its delay
        convert({std::span(&plane, 1), 4800, describeStream(c.layout, 48000, 2), 0, {}});
        sound = sound || convert.lastHeldSound();
      }
      EXPECT_EQ(sound, c.sound) << c.what << (quality == Quality::high ? " (high)" : "");
    }
  }
}

// Long blocks from any read position, so that positions reach the binades where the fast paths
// take runs of exact steps, at ratios whose steps sit halfway between two spacings or beside
// whole numbers.
TEST(Conversion, ResamplerMatchesThePlainReferenceAtAnyPosition) {
  Random random{77};
  for (const double ratio : {3.0, 2.75625, 0.5, 1.0 + 0x1p-45, 2.75 + 0x1p-44, 0.75 + 0x1p-46,
                             1.5 + 0x1p-42, 3.0 + 0x1p-51, 2.0 - 0x1p-51, 1.0 / 64, 63.99}) {
    Resampler resampler;
    resampler.reset(ratio);
    resampler.position = ratio * random.unit();
    reference::Resampler plain{ratio, resampler.position};
    std::vector<std::int16_t> got, want;
    for (int b = 0; b < 8; ++b) {
      std::vector<float> block(ratio < 0.1 ? 3000 : 1 + random.below(40000));
      for (float& x : block) x = random.awkward();
      const auto samples = resampler.process(block);
      got.assign(samples.begin(), samples.end());
      want.clear();
      plain.emit(block, want);
      ASSERT_EQ(got, want) << "ratio " << ratio << ", block " << b;
      ASSERT_EQ(resampler.position, plain.position) << "ratio " << ratio << ", block " << b;
    }
  }
}

}  // namespace
}  // namespace quenwick
