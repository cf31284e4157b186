#include <sys/sysctl.h>

#include "system/process_facts.h"

namespace quenwick {

std::optional<ProcessFacts> readProcessFacts(std::int32_t pid) {
  int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  struct kinfo_proc info {};
  size_t size = sizeof info;
  // A pid that no process has gives success with nothing filled in. A zombie has ended.
  if (sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size == 0 || info.kp_proc.p_stat == SZOMB) {
    return std::nullopt;
  }
  const timeval& start = info.kp_proc.p_starttime;
  return ProcessFacts{static_cast<std::uint64_t>(start.tv_sec) * 1'000'000u +
                          static_cast<std::uint64_t>(start.tv_usec),
                      info.kp_eproc.e_ppid};
}

}  // namespace quenwick
