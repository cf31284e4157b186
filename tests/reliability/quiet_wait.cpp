#include "quiet_wait.h"

#include <thread>

namespace quenwick::reliability {

std::optional<harness::ExitStatus> waitWithoutReading(harness::AgentProcess& child,
                                                      std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    // A zero timeout only looks: it reads the pipes once the child has ended, never before.
    if (auto status = child.wait(std::chrono::milliseconds(0))) return status;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool stillRunning(harness::AgentProcess& child) {
  return !child.wait(std::chrono::milliseconds(0));
}

}  // namespace quenwick::reliability
