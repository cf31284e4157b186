// What the system says of a running process: its start time and its parent. Both the identity
// rule of targets and the Windows parent watch read it. /proc on Linux, sysctl on macOS
// (process_facts-linux.cpp, -darwin.cpp); on Windows the creation time (GetProcessTimes) and the
// parent that a Toolhelp snapshot names, while it is older than the process (-win32.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace quenwick {

struct ProcessFacts {
  std::uint64_t startTime = 0;  // in the system's own unit, fixed for the process's life
  std::int32_t parentPid = 0;
};

// Nothing when no process has this pid.
std::optional<ProcessFacts> readProcessFacts(std::int32_t pid);

// Whether the process that now has a child's recorded parent pid is that parent, by the two
// creation times. Windows never updates the recorded pid, so a process made after the child is a
// stranger that took it once the parent ended. An equal time cannot prove the parent younger: the
// clock moves a tick at a time, and a launcher that starts its child at once shares its tick far
// more often than a pid is freed and taken again within one, so equal counts as the parent.
constexpr bool parentByCreation(std::uint64_t parentCreated, std::uint64_t childCreated) {
  return parentCreated <= childCreated;
}

// The facts of several processes, as one look at the system finds them: on Windows the parents
// come from one process-list snapshot, taken at the first question, not from one per process.
class ProcessLook {
 public:
  std::optional<ProcessFacts> facts(std::int32_t pid);

#ifdef _WIN32
 private:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> parents_;  // (pid, parent) of the snapshot
  bool taken_ = false;
#endif
};

#ifndef _WIN32
inline std::optional<ProcessFacts> ProcessLook::facts(std::int32_t pid) {
  return readProcessFacts(pid);
}
#endif

}  // namespace quenwick
