// The processes of a private PipeWire stack that a fault test takes down, and what of the agent
// the graph still holds.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

#include "private_pipewire.h"
#include "support/json_line.h"

namespace quenwick::reliability {

// The PipeWire server: the peer of a connection to the stack's socket.
std::optional<pid_t> serverPid(const pwtest::PrivatePipeWire& stack);

// The session manager: the process behind WirePlumber's client in the graph.
std::optional<pid_t> sessionManagerPid(const pwtest::PrivatePipeWire& stack);

// What a graph holds of the agent, whichever process it belonged to: capture nodes, clients of
// the agent's binary, and links that touch a capture node.
struct AgentTraces {
  std::size_t nodes = 0;
  std::size_t clients = 0;
  std::size_t links = 0;
  bool none() const { return nodes == 0 && clients == 0 && links == 0; }
};
AgentTraces agentTraces(const harness::JsonArray& dump);

// How many objects of a type ("PipeWire:Interface:Link", ...) the graph holds.
std::size_t countOfType(const harness::JsonArray& dump, const std::string& type);

}  // namespace quenwick::reliability
