#include "capture/linux/process_match.h"

#include <dirent.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "system/process_facts.h"

namespace quenwick {
namespace {

// Linux keeps at most 15 characters of a binary name in comm.
constexpr std::size_t kCommLength = 15;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SystemProcesses final : public ProcessView {
 public:
  std::optional<ProcessIdentity> process(std::int32_t pid) const override {
    const auto facts = pid > 0 ? readProcessFacts(pid) : std::nullopt;
    if (!facts) return std::nullopt;
    const std::string base = "/proc/" + std::to_string(pid);
    ProcessIdentity identity{pid, pid, readFile(base + "/comm"), facts->startTime};
    identity.namespacePid = innermostNamespacePid(readFile(base + "/status")).value_or(pid);
    while (!identity.command.empty() && identity.command.back() == '\n') {
      identity.command.pop_back();
    }
    return identity;
  }

  std::vector<ProcessIdentity> all() const override {
    std::vector<ProcessIdentity> processes;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return processes;
    while (const dirent* entry = readdir(proc)) {
      if (const auto pid = parsePid(entry->d_name)) {
        if (auto identity = process(*pid)) processes.push_back(std::move(*identity));
      }
    }
    closedir(proc);
    return processes;
  }
};

}  // namespace

const ProcessView& systemProcesses() {
  static const SystemProcesses view;
  return view;
}

std::optional<std::int32_t> parsePid(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view view(text);
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (error != std::errc{} || end != view.data() + view.size() || value <= 0) return std::nullopt;
  return value;
}

std::optional<std::int32_t> innermostNamespacePid(const std::string& statusText) {
  constexpr std::string_view kKey = "NSpid:";
  std::istringstream lines(statusText);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, kKey.size(), kKey) != 0) continue;
    std::istringstream values(line.substr(kKey.size()));
    std::optional<std::int32_t> last;
    for (std::string word; values >> word;) last = parsePid(word.c_str());
    return last;
  }
  return std::nullopt;
}

std::vector<TargetProcess> processesOf(const ClientIdentity& client, const ProcessView& view) {
  const auto one = [](const std::optional<ProcessIdentity>& process) {
    return process ? std::vector<TargetProcess>{{process->pid, process->startTime}}
                   : std::vector<TargetProcess>{};
  };
  if (!client.viaPulse && client.securityPid) return one(view.process(*client.securityPid));
  if (!client.applicationPid) return {};
  const std::string binary = client.applicationBinary.substr(0, kCommLength);
  const auto declared = view.process(*client.applicationPid);
  if (declared && (binary.empty() || declared->command == binary)) return one(declared);
  // Inside a pid namespace the client only knows its namespace pid, which other sandboxes
  // share (1 is common), so the binary name has to agree as well.
  std::vector<TargetProcess> sandboxed;
  if (!binary.empty()) {
    for (const ProcessIdentity& process : view.all()) {
      if (process.namespacePid == *client.applicationPid && process.command == binary) {
        sandboxed.push_back({process.pid, process.startTime});
      }
    }
  }
  return sandboxed.empty() ? one(declared) : sandboxed;
}

}  // namespace quenwick
