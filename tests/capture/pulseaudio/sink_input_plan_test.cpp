// Which sink inputs PulseAudio's backend records, and how a sink's channels reach the two sides.
#include "capture/pulseaudio/sink_input_plan.h"

#include <gtest/gtest.h>

namespace quenwick::pulseaudio {
namespace {

const TargetProcess kTarget{100, 7}, kOther{200, 9};

struct HeardRow {
  const char* name;
  bool global;
  SinkInputRecord input;
  bool heard;
};

TEST(SinkInputPlan, HearsByProcessAndRule) {
  const std::vector<HeardRow> rows = {
      {"listed process", false, {0, false, false, {kTarget}}, true},
      {"other process", false, {0, false, false, {kOther}}, false},
      {"client of several processes, one listed",
       false,
       {0, false, false, {kOther, kTarget}},
       true},
      {"no process declared", false, {0, false, false, {}}, false},
      {"left out", true, {0, false, false, {kTarget}}, false},
      {"any other application", true, {0, false, false, {kOther}}, true},
      {"an application that declared no process", true, {0, false, false, {}}, true},
      {"a module's stream carries on sound heard elsewhere", true, {0, true, false, {}}, false},
      {"corked or not, the same", true, {0, false, true, {kOther}}, true},
  };
  for (const HeardRow& row : rows) {
    const HearingRule rule{row.global, [](const TargetProcess& p) { return p == kTarget; }};
    EXPECT_EQ(isHeard(row.input, rule), row.heard) << row.name;
  }
}

pa_channel_map mapOf(std::initializer_list<pa_channel_position_t> positions) {
  pa_channel_map map{};
  for (const auto position : positions) map.map[map.channels++] = position;
  return map;
}

TEST(SinkInputPlan, SidesOfEachLayout) {
  constexpr float kFront = 0.41421356f;  // 1 / (1 + √2): front, where a side's weights add to 1
  constexpr float kRest = 0.29289322f;   // (1 / √2) / (1 + √2): centre and surround
  const struct {
    const char* name;
    pa_channel_map map;
    std::vector<MixWeights> sides;
  } rows[] = {
      {"stereo, bit for bit",
       mapOf({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT}),
       {{1, 0}, {0, 1}}},
      {"stereo the other way round",
       mapOf({PA_CHANNEL_POSITION_FRONT_RIGHT, PA_CHANNEL_POSITION_FRONT_LEFT}),
       {{0, 1}, {1, 0}}},
      {"mono to both", mapOf({PA_CHANNEL_POSITION_MONO}), {{1, 1}}},
      {"5.1 without its LFE",
       mapOf({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
              PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
              PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT}),
       {{kFront, 0}, {0, kFront}, {kRest, kRest}, {0, 0}, {kRest, 0}, {0, kRest}}},
      {"5.1 (side)",
       mapOf({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
              PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
              PA_CHANNEL_POSITION_SIDE_LEFT, PA_CHANNEL_POSITION_SIDE_RIGHT}),
       {{kFront, 0}, {0, kFront}, {kRest, kRest}, {0, 0}, {kRest, 0}, {0, kRest}}},
  };
  for (const auto& row : rows) {
    const auto sides = sideWeights(row.map);
    ASSERT_EQ(sides.size(), row.sides.size()) << row.name;
    for (std::size_t channel = 0; channel < sides.size(); ++channel) {
      EXPECT_NEAR(sides[channel].left, row.sides[channel].left, 1e-6) << row.name << " " << channel;
      EXPECT_NEAR(sides[channel].right, row.sides[channel].right, 1e-6)
          << row.name << " " << channel;
    }
  }
}

}  // namespace
}  // namespace quenwick::pulseaudio
