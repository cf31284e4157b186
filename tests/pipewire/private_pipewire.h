// A private PipeWire stack for the end-to-end tests: a 0700 runtime directory of its own, a session
// D-Bus, `pipewire` with the committed headless configuration (a dummy driver and a null sink at
// 48000 Hz) and WirePlumber with a private state directory, so that no volume or default of the
// machine's own session, nor of an earlier test, reaches the graph. Everything it starts is
// stopped when it goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/agent_process.h"
#include "support/json_line.h"

namespace quenwick::pwtest {

// The absolute path of a program on PATH; empty when there is none.
std::string findProgram(const std::string& name);

class PrivatePipeWire {
 public:
  // Starts the stack and waits until WirePlumber has chosen the null sink as default, that is
  // until a player would be linked. Nothing, with the reason in `error`, when it cannot start.
  static std::unique_ptr<PrivatePipeWire> start(std::string* error);
  ~PrivatePipeWire();
  PrivatePipeWire(const PrivatePipeWire&) = delete;
  PrivatePipeWire& operator=(const PrivatePipeWire&) = delete;

  // What a process needs in its environment to reach this server and nothing else.
  const std::vector<std::string>& environment() const { return environment_; }
  const std::string& directory() const { return directory_; }

  // Starts a program (by name on PATH or by path) on this server.
  std::unique_ptr<harness::AgentProcess> spawn(
      const std::string& program, const std::vector<std::string>& args,
      harness::StdinMode stdinMode = harness::StdinMode::devNull) const;
  // pw-play playing `file`, to the default sink.
  std::unique_ptr<harness::AgentProcess> play(const std::string& file) const;

  // The graph as pw-dump shows it: an array of objects.
  std::optional<harness::JsonArray> dump() const;
  // Waits until the graph holds a client of `pid` with an audio output stream of its own, that
  // is until the process plays (or, with `needStream` false, until it has only connected).
  bool waitForPlayer(pid_t pid, std::chrono::milliseconds timeout, bool needStream = true) const;
  // Changes a key of the "settings" metadata with pw-metadata.
  bool setSetting(const std::string& key, const std::string& value) const;

 private:
  PrivatePipeWire() = default;
  bool waitFor(const std::function<bool(const harness::JsonArray&)>& ready,
               std::chrono::milliseconds timeout) const;

  std::string directory_;
  std::vector<std::string> environment_;
  std::unique_ptr<harness::AgentProcess> bus_;
  std::unique_ptr<harness::AgentProcess> server_;
  std::unique_ptr<harness::AgentProcess> sessionManager_;
};

// The value at `path` below `object` in pw-dump's output, or null.
const harness::JsonValue* member(const harness::JsonValue& object,
                                 std::initializer_list<const char*> path);
// pw-dump writes numeric properties as numbers and the rest as strings; either reads here.
std::optional<std::int64_t> integerOf(const harness::JsonValue* value);

// What pw-dump says about the objects of a process, by the ids they have now.
struct ProcessObjects {
  std::vector<std::int64_t> clients;
  std::vector<std::int64_t> nodes;
  std::vector<std::int64_t> linksIn;  // links whose input node is one of `nodes`
};
ProcessObjects objectsOf(const harness::JsonArray& dump, pid_t pid);
// Links whose input node is `node`.
std::vector<std::int64_t> linksInto(const harness::JsonArray& dump, std::int64_t node);
// Whether an object with this id exists.
bool hasObject(const harness::JsonArray& dump, std::int64_t id);

}  // namespace quenwick::pwtest
