#include "capture/pipewire/process_match.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

namespace quenwick::pipewire {
namespace {

// Linux keeps at most 15 characters of a binary name in comm.
constexpr std::size_t kCommLength = 15;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

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

ProcessIdentity identifyProcess(std::int32_t pid) {
  ProcessIdentity identity{pid, pid, {}};
  if (pid <= 0) return identity;
  const std::string base = "/proc/" + std::to_string(pid);
  identity.namespacePid = innermostNamespacePid(readFile(base + "/status")).value_or(pid);
  identity.command = readFile(base + "/comm");
  while (!identity.command.empty() && identity.command.back() == '\n') identity.command.pop_back();
  return identity;
}

bool clientBelongsTo(const ClientIdentity& client, const ProcessIdentity& process) {
  if (process.pid <= 0) return false;
  if (!client.viaPulse && client.securityPid) return *client.securityPid == process.pid;
  if (!client.applicationPid) return false;
  if (*client.applicationPid == process.pid) return true;
  // Inside a pid namespace the client only knows its namespace pid, which other sandboxes
  // share (1 is common), so the binary name has to agree as well.
  return process.namespacePid != process.pid && *client.applicationPid == process.namespacePid &&
         !process.command.empty() &&
         client.applicationBinary.substr(0, kCommLength) == process.command;
}

}  // namespace quenwick::pipewire
