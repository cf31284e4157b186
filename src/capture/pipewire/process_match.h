// Which process a PipeWire client belongs to.
//
// A native client's "pipewire.sec.pid" is the kernel-verified pid of the socket's peer, so it
// is the truth, also for a sandboxed application. A client that reached the graph through
// pipewire-pulse ("pulse.server.type" set) has pipewire-pulse's own pid there; its process is
// the "application.process.id" that it declared, which a sandboxed application gives from inside
// its pid namespace, so that one is matched by namespace pid plus binary name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quenwick::pipewire {

// What a client's properties say about its process.
struct ClientIdentity {
  std::optional<std::int32_t> securityPid;     // pipewire.sec.pid
  std::optional<std::int32_t> applicationPid;  // application.process.id
  std::string applicationBinary;               // application.process.binary
  bool viaPulse = false;                       // pulse.server.type present
};

// A process on this host as the graph may know it.
struct ProcessIdentity {
  std::int32_t pid = 0;
  std::int32_t namespacePid = 0;  // the innermost NSpid; equals pid outside a pid namespace
  std::string command;            // /proc/PID/comm: the binary name, cut to 15 characters
};

// Reads the identity of `pid` from /proc. A process that /proc cannot show keeps its pid as
// namespace pid and an empty command, which still matches by pid.
ProcessIdentity identifyProcess(std::int32_t pid);

// Parses the "NSpid:" line of /proc/PID/status; the innermost (last) value.
std::optional<std::int32_t> innermostNamespacePid(const std::string& statusText);

bool clientBelongsTo(const ClientIdentity& client, const ProcessIdentity& process);

// Parses a decimal pid property; nullopt when absent or not a whole positive number.
std::optional<std::int32_t> parsePid(const char* text);

}  // namespace quenwick::pipewire
