// The real agent on a private PipeWire stack, and what the end-to-end tests read from it.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "private_pipewire.h"
#include "support/agent_process.h"
#include "support/json_line.h"

namespace quenwick::pwtest {

inline constexpr std::size_t kPcmBytesPerSecond = 16000 * 2;

// Starts `quenwick` with `args`, in `environment` (a stack's, or one without a server).
std::unique_ptr<harness::AgentProcess> startAgent(const std::vector<std::string>& args,
                                                  const std::vector<std::string>& environment);

// The status events written so far; the test fails when a line is malformed.
std::vector<harness::StatusEvent> statusEvents(const harness::AgentProcess& agent);
// The events of one kind, "changed" format events apart from the start-up one.
std::vector<harness::StatusEvent> eventsNamed(const harness::AgentProcess& agent,
                                              const std::string& name);
std::vector<harness::StatusEvent> formatChanges(const harness::AgentProcess& agent);

// Waits for the "running" event.
bool waitForRunning(harness::AgentProcess& agent, std::chrono::milliseconds timeout);
// Waits until `bytes` more bytes of PCM than now have arrived.
bool waitForMorePcm(harness::AgentProcess& agent, std::size_t bytes,
                    std::chrono::milliseconds timeout);

}  // namespace quenwick::pwtest
