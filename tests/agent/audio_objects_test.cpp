// The tap and aggregate device descriptions the agent hands to the audio layer.
#include <csignal>
#include <regex>

#include "agent_run.h"

namespace quenwick::agent_test {
namespace {

struct Descriptions {
  JsonValue tap;
  JsonValue device;
};

Descriptions descriptionsOfOneRun(const std::vector<std::string>& args) {
  FakeAgent agent("pid 42 7\n", args);
  EXPECT_TRUE(agent.started());
  if (!agent.started()) return {};
  EXPECT_TRUE(agent.waitUntilServing(kLiveness));
  agent.process().sendSignal(SIGTERM);
  EXPECT_EQ(agent.process().wait(kLiveness), ExitStatus::exitedWith(0));
  const auto calls = agent.calls();
  const auto taps = callsNamed(calls, "createProcessTap");
  const auto devices = callsNamed(calls, "createAggregateDevice");
  EXPECT_EQ(taps.size(), 1u);
  EXPECT_EQ(devices.size(), 1u);
  if (taps.size() != 1 || devices.size() != 1) return {};
  return {taps[0], devices[0]};
}

bool isUpperCaseUuid(const std::string& text) {
  static const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  return std::regex_match(text, uuid);
}

TEST(AudioObjects, TheTapIsNamedPrivateAndUnmuted) {
  for (const auto& args :
       {std::vector<std::string>{"--pids", "42"}, std::vector<std::string>{"--global"}}) {
    SCOPED_TRACE(args[0]);
    const auto [tap, device] = descriptionsOfOneRun(args);
    ASSERT_TRUE(tap.isObject());
    EXPECT_EQ(stringAt(tap, "name"), "Quenwick tap");
    EXPECT_TRUE(boolAt(tap, "private"));
    EXPECT_EQ(integerAt(tap, "mute"), 0);
    EXPECT_TRUE(isUpperCaseUuid(stringAt(tap, "uuid"))) << stringAt(tap, "uuid");
  }
}

TEST(AudioObjects, TheDeviceIsPrivateStartsItsTapAndCarriesExactlyThatTapWithDrift) {
  const auto [tap, device] = descriptionsOfOneRun({"--pids", "42"});
  ASSERT_TRUE(device.isObject());
  EXPECT_EQ(stringAt(device, "name"), "Quenwick capture");
  EXPECT_TRUE(isUpperCaseUuid(stringAt(device, "uid"))) << stringAt(device, "uid");
  EXPECT_TRUE(boolAt(device, "private"));
  EXPECT_TRUE(boolAt(device, "tapautostart"));

  const auto* taps = device.find("taps");
  ASSERT_TRUE(taps != nullptr && taps->isArray());
  const harness::JsonArray& entries = *taps->array();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(stringAt(entries[0], "uid"), stringAt(tap, "uuid"));
  EXPECT_TRUE(boolAt(entries[0], "drift"));
  EXPECT_NE(stringAt(device, "uid"), stringAt(tap, "uuid"));
}

TEST(AudioObjects, EveryRunMakesFreshIds) {
  const auto first = descriptionsOfOneRun({"--pids", "42"});
  const auto second = descriptionsOfOneRun({"--pids", "42"});
  ASSERT_TRUE(first.device.isObject() && second.device.isObject());
  EXPECT_NE(stringAt(first.device, "uid"), stringAt(second.device, "uid"));
  EXPECT_NE(stringAt(first.tap, "uuid"), stringAt(second.tap, "uuid"));
}

}  // namespace
}  // namespace quenwick::agent_test
