#include "capture/process_targets.h"

#include <algorithm>

namespace quenwick {
namespace {

// Deeper than any real process tree; a guard against a parent chain that loops while it changes.
constexpr int kDeepestAncestry = 256;

}  // namespace

ProcessTargets ProcessTargets::ofAlive(const std::vector<std::int32_t>& pids, bool tree) {
  ProcessTargets targets;
  targets.tree = tree;
  for (const std::int32_t pid : pids) {
    if (pid <= 0) continue;
    if (const auto facts = targets.read(pid)) targets.processes.push_back({pid, facts->startTime});
  }
  return targets;
}

bool ProcessTargets::covers(std::int32_t pid) const {
  for (int depth = 0; pid > 0 && depth < kDeepestAncestry; ++depth) {
    const auto facts = read(pid);
    if (!facts) return false;
    if (std::find(processes.begin(), processes.end(), TargetProcess{pid, facts->startTime}) !=
        processes.end()) {
      return true;
    }
    if (!tree) return false;
    pid = facts->parentPid;
  }
  return false;
}

bool ProcessTargets::anyAlive() const {
  return std::any_of(processes.begin(), processes.end(), [this](const TargetProcess& process) {
    const auto facts = read(process.pid);
    return facts && facts->startTime == process.startTime;
  });
}

}  // namespace quenwick
