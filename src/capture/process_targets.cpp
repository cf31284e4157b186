#include "capture/process_targets.h"

#include <algorithm>

namespace quenwick {
namespace {

// Deeper than any real process tree; a guard against a parent chain that loops while it changes.
constexpr int kDeepestAncestry = 256;

std::optional<ProcessFacts> factsOf(std::int32_t pid, ProcessLook& look) {
  return pid > 0 ? look.facts(pid) : std::nullopt;
}

std::optional<ProcessFacts> factsOf(std::int32_t pid) {
  ProcessLook look;
  return factsOf(pid, look);
}

}  // namespace

ProcessTargets ProcessTargets::ofAlive(const std::vector<std::int32_t>& pids, bool tree) {
  ProcessTargets targets;
  targets.tree = tree;
  ProcessLook look;
  for (const std::int32_t pid : pids) {
    if (const auto facts = factsOf(pid, look)) targets.processes.push_back({pid, facts->startTime});
  }
  return targets;
}

bool ProcessTargets::covers(std::int32_t pid) const {
  ProcessLook look;
  const auto facts = factsOf(pid, look);
  return facts && coversFrom(pid, *facts, look);
}

bool ProcessTargets::coversFrom(std::int32_t pid, ProcessFacts facts, ProcessLook& look) const {
  for (int depth = 1;; ++depth) {
    const TargetProcess process{pid, facts.startTime};
    if (std::find(processes.begin(), processes.end(), process) != processes.end()) return true;
    if (!tree || depth == kDeepestAncestry) return false;
    pid = facts.parentPid;
    const auto parent = factsOf(pid, look);
    if (!parent) return false;
    facts = *parent;
  }
}

bool ProcessTargets::anyAlive() const {
  return std::any_of(processes.begin(), processes.end(), alive);
}

bool ProcessTargets::alive(const TargetProcess& process) {
  const auto facts = factsOf(process.pid);
  return facts && facts->startTime == process.startTime;
}

bool ProcessTargets::coversFor(const TargetProcess& target, std::int32_t pid) const {
  return ProcessTargets{{target}, tree}.covers(pid);
}

}  // namespace quenwick
