#include "app/parent_watch.h"

#include <windows.h>

#include <chrono>
#include <system_error>
#include <thread>

#include "app/ending.h"
#include "system/process_facts.h"

namespace quenwick {
namespace {

constexpr auto parentWatchInterval = std::chrono::seconds(1);

// The parent, when `pid` still names it: a process not made after the agent. A pid that is not
// alive, or that a later process took, has no handle here.
HANDLE openParent(std::int32_t pid, std::uint64_t agentCreated) {
  if (pid == 0) return nullptr;
  const HANDLE parent =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (parent == nullptr) return nullptr;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(parent, &created, &exited, &kernel, &user) ||
      !parentByCreation(std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime,
                        agentCreated)) {
    CloseHandle(parent);
    return nullptr;
  }
  return parent;
}

// A parent that may not be opened (it runs with rights above the agent's) is still there while
// its pid is refused rather than unknown, as a refused kill(pid, 0) counts elsewhere.
bool refusedButThere(std::int32_t pid) {
  const HANDLE probe = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (probe != nullptr) CloseHandle(probe);
  return probe == nullptr && GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

std::int32_t parentAtStart() {
  const auto self = readProcessFacts(static_cast<std::int32_t>(GetCurrentProcessId()));
  return self ? self->parentPid : 0;
}

int startParentWatch(std::int32_t parentPid) {
  const auto self = readProcessFacts(static_cast<std::int32_t>(GetCurrentProcessId()));
  // The handle, taken now, names the parent for as long as it is held, whoever takes its pid.
  const HANDLE parent = self ? openParent(parentPid, self->startTime) : nullptr;
  const bool refused = parent == nullptr && parentPid != 0 && refusedButThere(parentPid);
  const auto watch = [parent, refused, parentPid] {
    if (parent != nullptr) {
      WaitForSingleObject(parent, INFINITE);
    } else {
      // A parent that is gone already is told of at the first check, as elsewhere.
      do {
        std::this_thread::sleep_for(parentWatchInterval);
      } while (refused && refusedButThere(parentPid));
    }
    cut(Cut::parentGone);
  };
  try {
    std::thread(watch).detach();
  } catch (const std::system_error& error) {
    return error.code().value();
  }
  return 0;
}

}  // namespace quenwick
