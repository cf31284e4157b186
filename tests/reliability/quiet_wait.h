// Waiting for a child while standing still as a stalled host: nothing is read from its pipes, so
// a child blocked writing to one stays blocked.
#pragma once

#include <chrono>
#include <optional>

#include "support/agent_process.h"

namespace quenwick::reliability {

// Waits up to `timeout` for `child` to end without reading its output; nothing while it runs.
std::optional<harness::ExitStatus> waitWithoutReading(harness::AgentProcess& child,
                                                      std::chrono::milliseconds timeout);

// Whether `child` still runs, found without reading its output.
bool stillRunning(harness::AgentProcess& child);

}  // namespace quenwick::reliability
