// Which links the tap needs: a pure function of what the registry shows and of the tap's rule,
// so that every registry event can re-plan from scratch and the difference is all that is done.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/pipewire/process_match.h"
#include "capture/process_targets.h"

namespace quenwick::pipewire {

inline constexpr std::uint32_t kNoObject = 0xffffffffu;  // PipeWire's PW_ID_ANY

struct NodeRecord {
  std::uint32_t clientId = kNoObject;  // "client.id" of the node global
  bool playsAudio = false;             // media.class Stream/Output/Audio
};

struct PortRecord {
  std::uint32_t nodeId = kNoObject;
  bool output = false;
  bool monitor = false;
  std::string channel;  // "audio.channel"
};

struct ClientRecord {
  // Empty until the client's info has arrived: before that a pulse client cannot be told from
  // a native one, so nothing is decided about its streams.
  std::optional<ClientIdentity> identity;
};

// The registry as far as linking needs it, keyed by global id while the global exists.
struct GraphState {
  std::map<std::uint32_t, NodeRecord> nodes;
  std::map<std::uint32_t, PortRecord> ports;
  std::map<std::uint32_t, ClientRecord> clients;
};

struct LinkRule {
  // true: every process except the targets' (global tap); false: only the targets'.
  bool everyProcessExceptListed = false;
  // The target processes as a client may name them (pid, or namespace pid and binary)...
  std::vector<ProcessIdentity> processes;
  // ...and by identity, with their descendants when asked: a stranger that took a target's pid
  // is none of them.
  ProcessTargets targets;
  ProcessIdentity self;                     // our own process, never tapped
  std::uint32_t captureNodeId = kNoObject;  // our own node, never tapped; its ports are the inputs
};

struct PlannedLink {
  std::uint32_t outputNode;
  std::uint32_t outputPort;
  std::uint32_t inputNode;
  std::uint32_t inputPort;
  friend auto operator<=>(const PlannedLink&, const PlannedLink&) = default;
};

// Whether the rule taps this node; nullopt while its owner is still unknown.
std::optional<bool> nodeIsTapped(std::uint32_t nodeId, const NodeRecord& node,
                                 const GraphState& graph, const LinkRule& rule);

// Every link from a tapped node's output ports to the capture node's FL and FR inputs, in
// ascending order.
std::vector<PlannedLink> planLinks(const GraphState& graph, const LinkRule& rule);

// Whether any client of the graph belongs to the process.
bool hasClientOf(const GraphState& graph, const ProcessIdentity& process);

}  // namespace quenwick::pipewire
