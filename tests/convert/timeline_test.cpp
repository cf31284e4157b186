// The timeline with worked values: where cycles of known length and time go in the stream.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "convert/timeline.h"

namespace quenwick {
namespace {

struct Cycle {
  std::optional<double> ms;  // the cycle's host time in milliseconds; none: no time stamp
  std::uint64_t samples;
};

using Places = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The (silence, skip) of each cycle placed in turn.
Places placed(const std::vector<Cycle>& cycles) {
  Timeline timeline;
  Places places;
  for (const Cycle& cycle : cycles) {
    std::optional<std::uint64_t> ns;
    if (cycle.ms) ns = static_cast<std::uint64_t>(*cycle.ms * 1e6);
    const auto place = timeline.place(ns, cycle.samples);
    places.emplace_back(place.silence, place.skip);
  }
  return places;
}

// Cycles of 480 samples last 30 ms; a quarter of one, 120 samples (7.5 ms), is jitter.
TEST(Timeline, FillsGapsAndTrimsOverlapsBeyondAQuarterOfACycle) {
  const std::tuple<const char*, std::vector<Cycle>, Places> table[] = {
      {"back to back", {{500, 480}, {530, 480}, {560, 480}}, {{0, 0}, {0, 0}, {0, 0}}},
      {"a gap of 100 ms", {{500, 480}, {630, 480}}, {{0, 0}, {1600, 0}}},
      {"a cycle delivered twice", {{500, 480}, {530, 480}, {530, 480}}, {{0, 0}, {0, 0}, {0, 480}}},
      {"10 ms early", {{500, 480}, {520, 480}}, {{0, 0}, {0, 160}}},
      {"jitter of 7 ms", {{500, 480}, {537, 480}, {560, 480}}, {{0, 0}, {0, 0}, {0, 0}}},
      // An overlap longer than a cycle leaves the rest to the next one.
      {"50 ms back", {{500, 480}, {480, 480}, {510, 480}}, {{0, 0}, {0, 480}, {0, 320}}},
      // Without time stamps a cycle follows the last; the first one with a stamp sets the origin.
      {"no stamps",
       {{{}, 480}, {{}, 480}, {2000, 480}, {2130, 480}},
       {{0, 0}, {0, 0}, {0, 0}, {1600, 0}}},
      // Short cycles: the tolerance is never below 1 ms (16 samples).
      {"short cycles", {{0, 16}, {1, 16}, {3.5, 16}, {4, 16}}, {{0, 0}, {0, 0}, {24, 0}, {0, 0}}},
  };
  for (const auto& [name, cycles, places] : table) EXPECT_EQ(placed(cycles), places) << name;
}

}  // namespace
}  // namespace quenwick
