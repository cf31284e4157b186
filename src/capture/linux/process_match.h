// Which processes an audio server's client belongs to, on Linux: a PipeWire client, or a
// PulseAudio client through the properties it declares.
//
// A native PipeWire client's "pipewire.sec.pid" is the kernel-verified pid of the socket's peer, so
// it is the truth, also for a sandboxed application. A client that reached the graph through
// pipewire-pulse ("pulse.server.type" set) has pipewire-pulse's own pid there; its process is
// the "application.process.id" that it declared, which a sandboxed application gives from inside
// its pid namespace, so that one is found by namespace pid plus binary name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/process_targets.h"

namespace quenwick {

// What a client's properties say about its process.
struct ClientIdentity {
  std::optional<std::int32_t> securityPid;     // pipewire.sec.pid
  std::optional<std::int32_t> applicationPid;  // application.process.id
  std::string applicationBinary;               // application.process.binary
  bool viaPulse = false;  // a PulseAudio client (pulse.server.type present on PipeWire)
};

// A process on this host as an audio server may know it.
struct ProcessIdentity {
  std::int32_t pid = 0;
  std::int32_t namespacePid = 0;  // the innermost NSpid; equals pid outside a pid namespace
  std::string command;            // /proc/PID/comm: the binary name, cut to 15 characters
  std::uint64_t startTime = 0;
};

// The host's processes: /proc, or a test's table.
class ProcessView {
 public:
  virtual ~ProcessView() = default;
  virtual std::optional<ProcessIdentity> process(std::int32_t pid) const = 0;
  virtual std::vector<ProcessIdentity> all() const = 0;
};

const ProcessView& systemProcesses();

// Parses the "NSpid:" line of /proc/PID/status; the innermost (last) value.
std::optional<std::int32_t> innermostNamespacePid(const std::string& statusText);

// The processes the client belongs to, each by its identity: a native client's own; a pulse
// client's declared pid when that process runs the binary it names, otherwise the processes in a
// pid namespace that know themselves by that pid and run that binary, and failing those the
// declared pid's process whatever it runs.
std::vector<TargetProcess> processesOf(const ClientIdentity& client, const ProcessView& view);

// Parses a decimal pid property; nullopt when absent or not a whole positive number.
std::optional<std::int32_t> parsePid(const char* text);

}  // namespace quenwick
