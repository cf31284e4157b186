#include "agent_session.h"

#include <gtest/gtest.h>

namespace quenwick::pwtest {

std::unique_ptr<harness::AgentProcess> startAgent(const std::vector<std::string>& args,
                                                  const std::vector<std::string>& environment) {
  harness::SpawnOptions options;
  options.environment = environment;
  options.statusLines = true;
  std::string error;
  auto agent = harness::AgentProcess::spawn(QUENWICK_AGENT_PATH, args, options, &error);
  EXPECT_TRUE(agent) << error;
  return agent;
}

std::vector<harness::StatusEvent> statusEvents(const harness::AgentProcess& agent) {
  // A line still being written is not looked at yet.
  const std::string& err = agent.err();
  const std::string whole = err.substr(0, err.rfind('\n') + 1);
  std::string error;
  auto events = harness::parseStatusLines(whole, &error);
  EXPECT_TRUE(events) << error;
  return events ? *events : std::vector<harness::StatusEvent>{};
}

std::vector<harness::StatusEvent> eventsNamed(const harness::AgentProcess& agent,
                                              const std::string& name) {
  std::vector<harness::StatusEvent> found;
  for (auto& event : statusEvents(agent)) {
    if (event.event() == name) found.push_back(std::move(event));
  }
  return found;
}

std::vector<harness::StatusEvent> formatChanges(const harness::AgentProcess& agent) {
  std::vector<harness::StatusEvent> found;
  for (auto& event : eventsNamed(agent, "format")) {
    if (event.has("changed")) found.push_back(std::move(event));
  }
  return found;
}

bool waitForRunning(harness::AgentProcess& agent, std::chrono::milliseconds timeout) {
  return agent.waitUntil(
      [&] { return agent.err().find("{\"event\":\"running\"}\n") != std::string::npos; }, timeout);
}

bool waitForMorePcm(harness::AgentProcess& agent, std::size_t bytes,
                    std::chrono::milliseconds timeout) {
  const std::size_t target = agent.out().size() + bytes;
  return agent.waitUntil([&] { return agent.out().size() >= target; }, timeout);
}

}  // namespace quenwick::pwtest
