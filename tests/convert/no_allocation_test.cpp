// The conversion allocates nothing once warm: the capture callback converts cycle after cycle,
// in every layout, across format changes and gaps in time, without a heap allocation, at either
// quality; a cycle longer than any the conversion made room for too.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "convert/capture_callback.h"
#include "convert/sample_layout.h"
#include "support/allocation_count.h"

namespace quenwick {
namespace {

class NoAllocation : public ::testing::TestWithParam<Quality> {};

TEST_P(NoAllocation, TheCaptureCallbackAllocatesNothingOnceWarm) {
#if defined(_WIN32)
  std::FILE* sink = std::fopen("NUL", "wb");
#else
  std::FILE* sink = std::fopen("/dev/null", "we");
#endif
  ASSERT_NE(sink, nullptr);
  auto pcm = std::make_unique<PcmOutput>(fileno(sink), nullptr);
  CaptureCallback callback(*pcm, GetParam());
  constexpr std::uint32_t kLong = 5 * kPreparedCycleFrames + 77;
  std::vector<float> left(2 * kLong, 0.25f), right(2 * kLong, -0.5f);
  const SamplePlane planes[] = {{left.data(), kLong}, {right.data(), kLong}};
  CapturedCycle cycle{planes, 0, {}, 0, 0};
  const auto convert = [&](int cycles, bool longOnes) {
    for (int i = 0; i < cycles; ++i) {
      const auto layout = i % 3 == 0   ? SampleLayout::planar
                          : i % 3 == 1 ? SampleLayout::f32
                                       : SampleLayout::s16;
      if (i % 7 == 0) {
        cycle.format = describeStream(layout, i % 2 ? 44100 : 8000, 2);
        ++cycle.formatGeneration;
      }
      cycle.planes = {planes, cycle.format.planar ? 2u : 1u};
      cycle.frames = longOnes && i % 97 == 3 ? kLong : static_cast<std::uint32_t>(1 + i % 2048);
      *cycle.timeNs += i % 50 == 0 ? 100'000'000 : 1'000'000;  // now and then a gap
      callback.deliver(cycle);
    }
  };
  // The filter of --quality high is slow unoptimised: fewer cycles, and the larger ones come only
  // after the warm-up, which it must have made room for from the start.
  const bool high = GetParam() == Quality::high;
  convert(high ? 1500 : 8192, false);  // warm: the largest ordinary cycle in each layout
  testing::watched = true;
  const std::size_t before = testing::allocationsCounted;
  int* volatile control = new int(1);  // the count is not blind
  delete control;
  ASSERT_EQ(testing::allocationsCounted - before, 1u);
  convert(high ? 3000 : 20000, true);
  testing::watched = false;
  EXPECT_EQ(testing::allocationsCounted - before, 1u);
  pcm.reset();
  std::fclose(sink);
}

INSTANTIATE_TEST_SUITE_P(Quality, NoAllocation, ::testing::Values(Quality::linear, Quality::high));

}  // namespace
}  // namespace quenwick
