// The processes a run is about, followed for the whole run: the pids the host listed, each as the
// very process it was when the agent started, and with `tree` all its descendants too.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "system/process_facts.h"

namespace quenwick {

// A process by its identity: a later process with this pid and another start time is a stranger.
struct TargetProcess {
  std::int32_t pid = 0;
  std::uint64_t startTime = 0;
  friend auto operator<=>(const TargetProcess&, const TargetProcess&) = default;
};

struct ProcessTargets {
  std::vector<TargetProcess> processes;
  bool tree = false;

  // The pids that are alive now, as targets; a pid that is not alive never becomes one.
  static ProcessTargets ofAlive(const std::vector<std::int32_t>& pids, bool tree);

  // Whether `pid` is a target or, with `tree`, a descendant of one: its parents are walked up
  // while they live.
  bool covers(std::int32_t pid) const;

  // Whether any target still lives: once none does, none of them will ever be heard.
  bool anyAlive() const;

  // Whether this very process still lives: a later one with its pid is another.
  static bool alive(const TargetProcess& process);

  // Whether `pid` is `target` or, with `tree`, a descendant of it.
  bool coversFor(const TargetProcess& target, std::int32_t pid) const;

 private:
  // `pid`, whose facts these are, then its ancestors while they live, all in one look.
  bool coversFrom(std::int32_t pid, ProcessFacts facts, ProcessLook& look) const;
};

}  // namespace quenwick
