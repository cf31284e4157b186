// The delivering thread's mixing allocates nothing once made: two clients' packets, silent ones,
// gaps, stretches of no packets at all and misdated ones, period after period, and its end.
#include "capture/mixing/packet_mixer.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/allocation_count.h"

namespace quenwick {
namespace {

struct CountingSink final : CycleSink {
  void deliver(const CapturedCycle& cycle) noexcept override { frames += cycle.frames; }
  std::uint64_t frames = 0;
};

TEST(PacketMixer, MixesPeriodAfterPeriodWithoutAllocating) {
  constexpr std::uint64_t kPeriod = 100'000;  // 10 ms in 100 ns units
  PacketMixer mixer(2, 48000, 480);
  const std::vector<float> packet(2 * 480, 0.25f);
  CountingSink sink;
  std::uint64_t position = 5'000'000;
  mixer.begin(position);
  const auto mix = [&](int periods) {
    for (int i = 0; i < periods; ++i) {
      if (i % 50 == 0) position += 30 * kPeriod;  // nobody played for a while
      const auto timing = i % 11 == 0 ? PacketMixer::Timing::untimed : PacketMixer::Timing::timed;
      mixer.add(0, i % 7 == 0 ? nullptr : packet.data(), 480, timing, position);
      if (i % 3 != 0)
        mixer.add(1, packet.data(), 480, PacketMixer::Timing::timed, position + 15'000);
      position += kPeriod;
      mixer.emitDue(position + mixer.dueIn(position) * (i % 5 == 0), sink);
    }
  };
  mix(1000);
  testing::watched = true;
  const std::size_t before = testing::allocationsCounted;
  int* volatile control = new int(1);  // the count is not blind
  delete control;
  ASSERT_EQ(testing::allocationsCounted - before, 1u);
  mix(20000);
  mixer.flush(position, sink);
  testing::watched = false;
  EXPECT_EQ(testing::allocationsCounted - before, 1u);
  EXPECT_GT(sink.frames, 20000u * 480);  // every period went out, and the silences between
}

}  // namespace
}  // namespace quenwick
