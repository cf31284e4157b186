// Format changes while buffers stream: what the agent reports and what it writes from the next
// buffer list on. The fake delivers a first stretch, then runs the steps of the case (format
// changes, notifications, and a sync that waits until the agent's queue has handled them), then
// a second stretch in whatever format the tap delivers by then.
//
// Lists of 512 frames keep the resampler's phase moving (at 48000 Hz the read position runs
// 2, 0, 1, ...), so a reset that should not happen, or one that does not, changes the bytes.
#include <csignal>
#include <sstream>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

constexpr std::uint32_t kFrames = 512;
constexpr std::uint32_t kLists = 4;

struct TapFormat {
  double rate;
  std::uint32_t channels;
  std::string_view layout;

  std::string script() const {
    std::ostringstream text;
    text.precision(17);
    text << rate << ' ' << channels << ' ' << layout;
    return text.str();
  }
};

const TapFormat kStart{48000, 2, "f32"};

struct ChangeCase {
  const char* name;
  std::string steps;  // between the two stretches
  TapFormat after;    // the format the second stretch is delivered in
  bool taken;         // the agent takes a new format (else it carries on as before)
  TapFormat before = kStart;
};

void PrintTo(const ChangeCase& c, std::ostream* out) {
  *out << c.name;
}

class FormatChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(FormatChange, ReportsOnceAndRestartsTheResamplerOnlyWhenTaken) {
  const ChangeCase& c = GetParam();
  ScratchDir data;
  const TapFormat& before = c.before;
  const std::string first =
      signalBytes(kFrames * kLists, before.channels, before.layout, /*seed=*/1);
  const std::string second =
      signalBytes(kFrames * kLists, c.after.channels, c.after.layout, /*seed=*/2);
  const std::string firstPath = data.write("first.raw", first);
  const std::string secondPath = data.write("second.raw", second);

  const std::string stretch =
      "deliver " + std::to_string(kLists) + " " + std::to_string(kFrames) + "\n";
  std::string script = "pid 42 7\nformat " + before.script() + "\n";
  script += "source file " + firstPath + "\n" + stretch;
  script += c.steps;
  script += "source file " + secondPath + "\n" + stretch;
  FakeAgent agent(script, {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitForSteps(kLiveness)) << agent.process().err();
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));

  std::string expected;
  if (c.taken) {
    expected =
        convertReference(firstPath, before.rate, before.channels, before.layout, kFrames) +
        convertReference(secondPath, c.after.rate, c.after.channels, c.after.layout, kFrames);
  } else {
    const std::string whole = data.write("whole.raw", first + second);
    expected = convertReference(whole, before.rate, before.channels, before.layout, kFrames);
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(sameBytes(agent.process().out(), expected));

  const auto events = eventsOf(agent.process().err());
  if (!c.taken) {
    EXPECT_EQ(namesOf(events), (std::vector<std::string>{"creating_tap", "format", "running"}));
    return;
  }
  ASSERT_EQ(namesOf(events),
            (std::vector<std::string>{"creating_tap", "format", "running", "format"}));
  const StatusEvent& changed = events[3];
  EXPECT_EQ(changed.keys().size(), 6u);
  EXPECT_EQ(changed.boolean("changed"), true);
  EXPECT_EQ(changed.number("sample_rate"), c.after.rate);
  EXPECT_EQ(changed.integer("channels"), c.after.channels);
  EXPECT_EQ(changed.string("mode"), "processes");
  EXPECT_EQ(changed.integers("pids"), (std::vector<std::int64_t>{42}));
}

INSTANTIATE_TEST_SUITE_P(
    Taken, FormatChange,
    ::testing::Values(
        ChangeCase{"RateThroughBothListeners",
                   "change 44100 2 f32\nnotify tfmt\nnotify nsrt\nsync\n",
                   {44100, 2, "f32"},
                   true},
        ChangeCase{"RateThroughTheDeviceListenerAlone",
                   "change 44100 2 f32\nnotify nsrt\nsync\n",
                   {44100, 2, "f32"},
                   true},
        ChangeCase{"AnnouncedManyTimes",
                   "change 32000 2 f32\nnotify tfmt\nnotify nsrt\nnotify tfmt\nnotify nsrt\nsync\n",
                   {32000, 2, "f32"},
                   true},
        // One buffer per channel keeps the flags and the frame size: only the count differs.
        ChangeCase{"ChannelCountAlone",
                   "change 48000 1 planar\nnotify tfmt\nsync\n",
                   {48000, 1, "planar"},
                   true,
                   {48000, 2, "planar"}},
        ChangeCase{"ChannelCountAndFrameSize",
                   "change 48000 1 f32\nnotify tfmt\nsync\n",
                   {48000, 1, "f32"},
                   true},
        ChangeCase{"ToSixteenBitSamples",
                   "change 48000 2 s16\nnotify tfmt\nnotify nsrt\nsync\n",
                   {48000, 2, "s16"},
                   true},
        ChangeCase{"ToOneBufferPerChannel",
                   "change 44100 2 planar\nnotify tfmt\nsync\n",
                   {44100, 2, "planar"},
                   true},
        ChangeCase{"ToALowerRateThanTheOutput",
                   "change 8000 1 f32\nnotify tfmt\nsync\n",
                   {8000, 1, "f32"},
                   true},
        ChangeCase{"AfterAReReadThatFailed",
                   "tfmt fail -1\nnotify tfmt\nsync\nchange 44100 2 f32\nnotify tfmt\nsync\n",
                   {44100, 2, "f32"},
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Ignored, FormatChange,
    ::testing::Values(
        ChangeCase{"NominalRateNotificationAlone", "notify nsrt\nsync\n", kStart, false},
        ChangeCase{"TapNotificationWithoutAChange", "notify tfmt\nnotify nsrt\nsync\n", kStart,
                   false},
        ChangeCase{"BitsPerChannelOnly",
                   "change 48000 2 f32 bits=24\nnotify tfmt\nnotify nsrt\nsync\n", kStart, false},
        ChangeCase{"FormatIdOnly", "change 48000 2 f32 id=alac\nnotify tfmt\nsync\n", kStart,
                   false},
        ChangeCase{"PacketFieldsOnly", "change 48000 2 f32 bpp=16 fpp=2\nnotify tfmt\nsync\n",
                   kStart, false},
        ChangeCase{"ReReadFails", "tfmt fail 'who?'\nnotify tfmt\nnotify nsrt\nsync\n", kStart,
                   false},
        ChangeCase{"ReReadGivesRateZero", "tfmt 0 2 f32\nnotify tfmt\nsync\n", kStart, false},
        ChangeCase{"ReReadGivesANegativeRate", "tfmt -44100 1 f32\nnotify tfmt\nsync\n", kStart,
                   false},
        ChangeCase{"ReReadGivesNotANumber", "tfmt nan 2 s16\nnotify nsrt\nsync\n", kStart, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick::agent_test
