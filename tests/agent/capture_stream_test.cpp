// Buffer lists as the audio layer may hand them over, well formed or not, between stretches of
// good ones. A list that yields no samples writes nothing and leaves the resampler where it
// was, so the good stretches around it join as one stream; whatever a list does yield is
// compared with the conversion tool's output for the samples the agent should have read.
#include <csignal>
#include <cstring>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

constexpr std::uint32_t kFrames = 512;

enum class Reads {
  everything,     // the agent reads the frames as delivered
  nothing,        // the list yields no samples
  silentChannel,  // channel 1 counts as silent from frame `silentFrom` on
};

struct Stretch {
  std::uint32_t lists;
  std::string options;  // of the fake's deliver step
  Reads reads = Reads::everything;
  std::uint32_t silentFrom = 0;
};

struct StreamCase {
  const char* name;
  std::uint32_t channels;
  std::string_view layout;
  std::vector<Stretch> stretches;
};

void PrintTo(const StreamCase& c, std::ostream* out) {
  *out << c.name;
}

// The frames of `bytes` (float samples of `channels` channels) with channel 1 zeroed from frame
// `from` of every list on.
std::string silenceChannelOne(std::string bytes, std::uint32_t channels, std::uint32_t from) {
  const std::size_t frames = bytes.size() / (channels * sizeof(float));
  const float zero = 0.0f;
  for (std::size_t f = 0; f < frames; ++f) {
    if (f % kFrames < from) continue;
    std::memcpy(bytes.data() + (f * channels + 1) * sizeof(float), &zero, sizeof zero);
  }
  return bytes;
}

class CaptureStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(CaptureStream, WritesExactlyWhatTheReadableListsHold) {
  const StreamCase& c = GetParam();
  ScratchDir data;
  std::string script =
      "pid 42 7\nformat 48000 " + std::to_string(c.channels) + " " + std::string(c.layout) + "\n";
  std::string readable;
  for (std::size_t i = 0; i < c.stretches.size(); ++i) {
    const Stretch& stretch = c.stretches[i];
    const std::string samples = signalBytes(kFrames * stretch.lists, c.channels, c.layout,
                                            static_cast<std::uint32_t>(i + 1));
    const std::string path = data.write("stretch" + std::to_string(i) + ".raw", samples);
    script += "source file " + path + "\ndeliver " + std::to_string(stretch.lists) + " " +
              std::to_string(kFrames) + " " + stretch.options + "\n";
    switch (stretch.reads) {
      case Reads::everything:
        readable += samples;
        break;
      case Reads::nothing:
        break;
      case Reads::silentChannel:
        readable += silenceChannelOne(samples, c.channels, stretch.silentFrom);
        break;
    }
  }

  FakeAgent agent(script, {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitForSteps(kLiveness)) << agent.process().err();
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));
  EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
            (std::vector<std::string>{"creating_tap", "format", "running"}));

  const std::string expected =
      convertReference(data.write("readable.raw", readable), 48000, c.channels, c.layout, kFrames);
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(sameBytes(agent.process().out(), expected));
}

// The byte count of one list of kFrames frames plus `extra` bytes.
std::string bytesOption(std::uint32_t bytesPerFrame, int extra) {
  return "bytes=" + std::to_string(static_cast<int>(kFrames * bytesPerFrame) + extra);
}

INSTANTIATE_TEST_SUITE_P(
    Interleaved, CaptureStream,
    ::testing::Values(
        StreamCase{"NoBuffers", 2, "f32", {{3, ""}, {2, "buffers=0", Reads::nothing}, {3, ""}}},
        StreamCase{"NoData", 2, "f32", {{3, ""}, {2, "null=all", Reads::nothing}, {3, ""}}},
        StreamCase{
            "LessThanOneFrame", 2, "s16", {{3, ""}, {2, "bytes=3", Reads::nothing}, {3, ""}}},
        StreamCase{"APartialFrameAtTheEndIsDropped", 2, "f32", {{5, bytesOption(8, 7)}}},
        StreamCase{"APartialSixteenBitFrameIsDropped", 2, "s16", {{5, bytesOption(4, 3)}}},
        StreamCase{"FurtherBuffersAreIgnored", 2, "f32", {{5, "buffers=3"}}},
        StreamCase{"ZeroChannelsInTheRecordReadAsOne", 1, "f32", {{5, "channels=0"}}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    PerChannel, CaptureStream,
    ::testing::Values(
        StreamCase{"NoBuffers", 2, "planar", {{3, ""}, {2, "buffers=0", Reads::nothing}, {3, ""}}},
        StreamCase{"NoDataInTheFirstBuffer",
                   2,
                   "planar",
                   {{3, ""}, {2, "null=first", Reads::nothing}, {3, ""}}},
        StreamCase{"AFirstBufferOfThreeBytes",
                   2,
                   "planar",
                   {{3, ""}, {2, "bytes=3", Reads::nothing}, {3, ""}}},
        StreamCase{"ASecondBufferWithoutDataIsASilentChannel",
                   2,
                   "planar",
                   {{3, ""}, {2, "null=rest", Reads::silentChannel, 0}, {3, ""}}},
        StreamCase{"AShortSecondBufferIsSilentWhereItEnds",
                   2,
                   "planar",
                   {{3, ""}, {2, "bytes2=1000", Reads::silentChannel, 250}, {3, ""}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick::agent_test
