// The delivering thread's mixing allocates nothing once made: two clients' packets, silent ones,
// gaps, stretches of no packets at all and misdated ones, period after period, and its end; and a
// device clock's drift taken up a frame at a time.
#include "capture/mixing/packet_mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

// Keeps what went out: frames of a counting source, its count in two exact parts.
struct RecordingSink final : CycleSink {
  void deliver(const CapturedCycle& cycle) noexcept override {
    const auto* data = static_cast<const float*>(cycle.planes[0].data);
    for (std::uint32_t frame = 0; frame < cycle.frames; ++frame) {
      counts.push_back(data[2 * frame] == 0.0f && data[2 * frame + 1] == 0.0f
                           ? -1
                           : static_cast<std::int64_t>(data[2 * frame]) * 4096 +
                                 static_cast<std::int64_t>(data[2 * frame + 1]) - 1);
    }
  }
  std::vector<std::int64_t> counts;  // -1: a frame of silence
};

// Six minutes of one client whose device clock runs `ppm` against the counter, its positions
// jittering by up to a millisecond, now and then a packet a period late: every frame goes out
// once, in order, but for single frames dropped or repeated, as many as the drift makes; and
// the client stays where its positions put it.
TEST(PacketMixer, TakesUpDriftFrameByFrame) {
  constexpr std::uint64_t kPeriod = 100'000, kOrigin = 5'000'000;
  constexpr int kPackets = 36'000;
  for (const double ppm : {150.0, -150.0}) {
    PacketMixer mixer(1, 48000, 480);
    RecordingSink sink;
    sink.counts.reserve(std::size_t{kPackets} * 480 + 48000);
    mixer.begin(kOrigin);
    std::vector<float> packet(2 * 480);
    std::uint32_t seed = 1;
    std::int64_t made = 0;
    for (int n = 0; n < kPackets; ++n) {
      for (int frame = 0; frame < 480; ++frame, ++made) {
        packet[2 * frame] = static_cast<float>((made + 1) / 4096);
        packet[2 * frame + 1] = static_cast<float>((made + 1) % 4096);
      }
      seed = seed * 1664525 + 1013904223;
      const double recorded = static_cast<double>(n) * kPeriod / (1 + ppm * 1e-6);
      const auto jitter = static_cast<std::int64_t>(seed >> 8) % 20'001 - 10'000;
      const auto position = static_cast<std::uint64_t>(kOrigin + recorded + jitter);
      mixer.add(0, packet.data(), 480, PacketMixer::Timing::timed, position);
      // Read a period after it ended, or two now and then.
      const auto now =
          static_cast<std::uint64_t>(kOrigin + recorded + (2 + (n % 13 == 0)) * kPeriod);
      mixer.emitDue(now, sink);
    }
    std::size_t k = 0, last = sink.counts.size() - 1;
    while (sink.counts[k] < 0) ++k;        // before its first packet
    while (sink.counts[last] < 0) --last;  // after its last
    std::int64_t slips = 0;
    for (++k; k <= last; ++k) {
      const std::int64_t step = sink.counts[k] - sink.counts[k - 1];
      ASSERT_TRUE(step >= 0 && step <= 2) << ppm << " ppm, frame " << k << ": " << step;
      slips += step != 1;
    }
    const double placed = static_cast<double>(sink.counts[k - 1]) / (1 + ppm * 1e-6);
    EXPECT_NEAR(static_cast<double>(k - 1), placed, 80) << ppm << " ppm";
    // The positions' jitter makes few slips of its own.
    const double drifted = static_cast<double>(k) * std::abs(ppm) * 1e-6;
    EXPECT_LT(static_cast<double>(slips), drifted * 1.05 + 20) << ppm << " ppm";
  }
}

}  // namespace
}  // namespace quenwick
