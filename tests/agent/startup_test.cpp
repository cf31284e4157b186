// The start-up sequence on the scripted audio layer: the three events of a good start and the
// PCM that follows, and every way start-up fails, with its message, exit status and the calls
// made before it.
#include <csignal>
#include <cstdint>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

constexpr std::int64_t kTapID = 100;
constexpr std::int64_t kDeviceID = 200;
constexpr std::int64_t kProcID = 300;

// The samples as the agent must write them at a ratio of exactly 3 (a 48000 Hz tap): every
// third frame, taken whole, clamped, scaled by 32767 and truncated.
std::string expectedAtRatioThree(const std::vector<float>& mono) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 0; i < mono.size(); i += 3) {
    float v = mono[i] < 1.0f ? mono[i] : 1.0f;
    v = v < -1.0f ? -1.0f : v;
    out.push_back(static_cast<std::int16_t>(v * 32767.0f));
  }
  return int16Bytes(out);
}

TEST(Startup, WritesCreatingTapFormatRunningAndThePcm) {
  // Both channels alike, so the downmix is exact and the expected PCM is plain to compute.
  std::vector<float> mono = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 1.5f, -1.5f, 0.99999f, 0.25f};
  for (int i = 0; mono.size() < 480 * 4; ++i)
    mono.push_back(static_cast<float>(i % 97) / 64.0f - 0.75f);
  std::vector<float> stereo;
  for (const float v : mono) stereo.insert(stereo.end(), {v, v});

  ScratchDir data;
  const std::string input = data.write("in.f32", floatBytes(stereo));
  const std::string script =
      "pid 42 7\nformat 48000 2 f32\nsource file " + input + "\ndeliver 4 480\n";
  FakeAgent agent(script, {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  const std::string expected = expectedAtRatioThree(mono);
  ASSERT_EQ(expected.size(), 4u * 160 * 2);
  ASSERT_TRUE(agent.waitForSteps(kLiveness));
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));

  EXPECT_TRUE(sameBytes(agent.process().out(), expected));
  const auto events = eventsOf(agent.process().err());
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"creating_tap", "format", "running"}));
  EXPECT_EQ(events[0].keys(), (std::vector<std::string>{"event"}));
  EXPECT_EQ(events[2].keys(), (std::vector<std::string>{"event"}));
  const StatusEvent& format = events[1];
  EXPECT_EQ(format.keys().size(), 5u);
  EXPECT_EQ(format.number("sample_rate"), 48000.0);
  EXPECT_EQ(format.integer("channels"), 2);
  EXPECT_EQ(format.string("mode"), "processes");
  EXPECT_EQ(format.integers("pids"), (std::vector<std::int64_t>{42}));
  EXPECT_FALSE(format.has("changed"));
}

TEST(Startup, MakesItsCallsInOrderWithTheRightArguments) {
  FakeAgent agent("pid 42 7\n", {"--pids", "42"});
  ASSERT_TRUE(agent.started());
  ASSERT_TRUE(agent.waitUntilServing(kLiveness));
  agent.process().sendSignal(SIGTERM);
  ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));

  const auto calls = agent.calls();
  ASSERT_EQ(callNames(calls),
            (std::vector<std::string>{
                "getPropertyData", "createProcessTap", "createAggregateDevice", "getPropertyData",
                "addPropertyListener", "addPropertyListener", "createIOProcID", "start", "stop",
                "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"}));
  const JsonValue& resolve = calls[0];
  EXPECT_EQ(integerAt(resolve, "object"), 1);
  EXPECT_EQ(stringAt(resolve, "selector"), "id2p");
  EXPECT_EQ(stringAt(resolve, "scope"), "glob");
  EXPECT_EQ(integerAt(resolve, "element"), 0);
  EXPECT_EQ(integerAt(resolve, "qualifierSize"), 4);
  EXPECT_EQ(integerAt(resolve, "qualifier"), 42);
  EXPECT_EQ(integerAt(resolve, "dataSize"), 4);

  const JsonValue& read = calls[3];
  EXPECT_EQ(integerAt(read, "object"), kTapID);
  EXPECT_EQ(stringAt(read, "selector"), "tfmt");
  EXPECT_EQ(stringAt(read, "scope"), "glob");
  EXPECT_EQ(integerAt(read, "element"), 0);
  EXPECT_EQ(integerAt(read, "qualifierSize"), 0);
  EXPECT_EQ(integerAt(read, "dataSize"), 40);

  EXPECT_EQ(integerAt(calls[4], "object"), kTapID);
  EXPECT_EQ(stringAt(calls[4], "selector"), "tfmt");
  EXPECT_EQ(stringAt(calls[4], "scope"), "glob");
  EXPECT_EQ(integerAt(calls[4], "element"), 0);
  EXPECT_EQ(integerAt(calls[5], "object"), kDeviceID);
  EXPECT_EQ(stringAt(calls[5], "selector"), "nsrt");
  EXPECT_EQ(stringAt(calls[5], "scope"), "glob");
  EXPECT_EQ(integerAt(calls[5], "element"), 0);

  EXPECT_EQ(integerAt(calls[6], "device"), kDeviceID);
  EXPECT_EQ(integerAt(calls[7], "device"), kDeviceID);
  EXPECT_EQ(integerAt(calls[7], "proc"), kProcID);
}

TEST(Startup, NeverReadsStandardInput) {
  for (const auto mode : {harness::StdinMode::closed, harness::StdinMode::pipe}) {
    SCOPED_TRACE(mode == harness::StdinMode::closed ? "stdin closed" : "stdin an open pipe");
    FakeAgent agent("pid 42 7\n", {"--pids", "42"}, {.stdinMode = mode});
    ASSERT_TRUE(agent.started());
    if (mode == harness::StdinMode::pipe) agent.process().writeStdin("--global\n");
    ASSERT_TRUE(agent.waitUntilServing(kLiveness));
    agent.process().sendSignal(SIGTERM);
    ASSERT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));
    EXPECT_EQ(namesOf(eventsOf(agent.process().err())),
              (std::vector<std::string>{"creating_tap", "format", "running"}));
  }
}

struct FailureCase {
  const char* name;
  std::string script;
  std::vector<std::string> args;
  std::vector<std::string> eventsBefore;  // the events before the "error"
  std::string message;
  int exitStatus;
  std::vector<std::string> calls;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.name;
}

class StartupFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StartupFailure, EndsWithItsMessageAndStatusAndTearsNothingDown) {
  const FailureCase& c = GetParam();
  FakeAgent agent(c.script, c.args);
  ASSERT_TRUE(agent.started());
  const auto status = agent.process().wait(kLiveness);
  ASSERT_TRUE(status) << "still running";
  EXPECT_EQ(*status, ExitStatus::exitedWith(c.exitStatus));
  EXPECT_EQ(agent.process().out(), "");

  const auto events = eventsOf(agent.process().err());
  auto expectedNames = c.eventsBefore;
  expectedNames.push_back("error");
  ASSERT_EQ(namesOf(events), expectedNames);
  const StatusEvent& error = events.back();
  EXPECT_EQ(error.keys(), (std::vector<std::string>{"event", "message"}));
  EXPECT_EQ(error.string("message"), c.message);

  // The calls up to the failing one, and nothing after it: above all no teardown.
  EXPECT_EQ(callNames(agent.calls()), c.calls);
}

const std::vector<std::string> kUpToTap = {"getPropertyData", "createProcessTap"};
const std::vector<std::string> kUpToDevice = {"getPropertyData", "createProcessTap",
                                              "createAggregateDevice"};
const std::vector<std::string> kUpToRead = {"getPropertyData", "createProcessTap",
                                            "createAggregateDevice", "getPropertyData"};
const std::vector<std::string> kUpToIOProc = {
    "getPropertyData",     "createProcessTap",    "createAggregateDevice", "getPropertyData",
    "addPropertyListener", "addPropertyListener", "createIOProcID"};
const std::vector<std::string> kUpToStart = {
    "getPropertyData",     "createProcessTap",    "createAggregateDevice", "getPropertyData",
    "addPropertyListener", "addPropertyListener", "createIOProcID",        "start"};

const std::string kTapAdvice =
    "). Check System Settings > Privacy & Security > Screen & System Audio Recording.";

INSTANTIATE_TEST_SUITE_P(
    Failures, StartupFailure,
    ::testing::Values(
        FailureCase{"NoPidResolves",
                    "pid 2 0\npid 3 33 -1\n",
                    {"--pids", "1,2,3"},
                    {},
                    "none of the requested processes are audio processes yet; is the app "
                    "playing sound?",
                    3,
                    {"getPropertyData", "getPropertyData", "getPropertyData"}},
        FailureCase{"TapRefused",
                    "pid 42 7\ntap -50\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not create the audio tap (-50" + kTapAdvice,
                    2,
                    kUpToTap},
        FailureCase{"TapRefusedWithAFourCharacterCode",
                    "pid 42 7\ntap 'nope'\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not create the audio tap (1852797029" + kTapAdvice,
                    2,
                    kUpToTap},
        FailureCase{"TapRefusedWithTheLowestStatus",
                    "pid 42 7\ntap -2147483648\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not create the audio tap (-2147483648" + kTapAdvice,
                    2,
                    kUpToTap},
        FailureCase{"DeviceRefused",
                    "pid 42 7\ndevice 'what'\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not create the capture device (2003329396)",
                    2,
                    kUpToDevice},
        FailureCase{"DeviceRefusedInGlobalMode",
                    "device -1\n",
                    {"--global"},
                    {"creating_tap"},
                    "could not create the capture device (-1)",
                    2,
                    kUpToDevice},
        FailureCase{"FormatReadRefused",
                    "pid 42 7\nformat fail 'who?'\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not read the tap format",
                    2,
                    kUpToRead},
        FailureCase{"FormatRateZero",
                    "pid 42 7\nformat 0 2 f32\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not read the tap format",
                    2,
                    kUpToRead},
        FailureCase{"FormatRateNegative",
                    "pid 42 7\nformat -48000 2 f32\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not read the tap format",
                    2,
                    kUpToRead},
        FailureCase{"FormatRateNotANumber",
                    "pid 42 7\nformat nan 2 f32\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not read the tap format",
                    2,
                    kUpToRead},
        FailureCase{"FormatRateTooLowToResample",
                    "pid 42 7\nformat 100 2 f32\n",
                    {"--pids", "42"},
                    {"creating_tap"},
                    "could not read the tap format",
                    2,
                    kUpToRead},
        FailureCase{"IOProcRefused",
                    "pid 42 7\nioproc -66\n",
                    {"--pids", "42"},
                    {"creating_tap", "format"},
                    "could not attach to the capture device (-66)",
                    2,
                    kUpToIOProc},
        FailureCase{"StartRefused",
                    "pid 42 7\nstart 'nope'\n",
                    {"--pids", "42"},
                    {"creating_tap", "format"},
                    "could not start capture",
                    2,
                    kUpToStart}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick::agent_test
