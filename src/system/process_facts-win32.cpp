#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>

#include "system/process_facts.h"

namespace quenwick {
namespace {

// When the process was made, in 100 ns units since 1601, while it still runs.
std::optional<std::uint64_t> creationTime(DWORD pid) {
  // Without SYNCHRONIZE (a process that grants only the limited query) the exit code tells, but
  // a process may end with the code that means "still active": then it is taken for alive.
  bool synchronize = true;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    synchronize = false;
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  }
  if (process == nullptr) return std::nullopt;
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD code = 0;
  const bool running = synchronize ? WaitForSingleObject(process, 0) == WAIT_TIMEOUT
                                   : GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  const bool timed = GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
  CloseHandle(process);
  if (!running || !timed) return std::nullopt;
  return std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
}

// Each process's pid and the pid of the process that made it, as the system's process list keeps
// them: the parent's is never updated, so after the parent has ended another process may have it.
std::vector<std::pair<std::uint32_t, std::uint32_t>> processList() {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> parents;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return parents;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    parents.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
  }
  CloseHandle(snapshot);
  return parents;
}

// A process that lives but that the agent may not look at (it runs with rights above ours).
bool refused(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process != nullptr) CloseHandle(process);
  return process == nullptr && GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

std::optional<ProcessFacts> readProcessFacts(std::int32_t pid) {
  return ProcessLook{}.facts(pid);
}

std::optional<ProcessFacts> ProcessLook::facts(std::int32_t pid) {
  if (!taken_) parents_ = processList();
  taken_ = true;
  const auto id = static_cast<DWORD>(pid);
  const auto listed = std::find_if(parents_.begin(), parents_.end(),
                                   [id](const auto& process) { return process.first == id; });
  if (listed == parents_.end()) return std::nullopt;
  const DWORD parent = listed->second;
  const auto created = creationTime(id);
  if (!created) return std::nullopt;
  ProcessFacts facts{*created, 0};
  // A parent that ended leaves its child with no parent, as an orphan's is init elsewhere: the
  // process with that pid now is its parent only if it is not younger than the child. One that may
  // not be looked at is taken at the list's word.
  const auto parentCreated = creationTime(parent);
  if (parentCreated ? parentByCreation(*parentCreated, *created) : refused(parent)) {
    facts.parentPid = static_cast<std::int32_t>(parent);
  }
  return facts;
}

}  // namespace quenwick
