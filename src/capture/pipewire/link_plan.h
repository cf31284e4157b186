// Which links the capture needs: a pure function of what the registry shows and of its rule,
// so that every registry event can re-plan from scratch and the difference is all that is done.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/linux/process_match.h"
#include "capture/mixing/channel_map.h"

namespace quenwick::pipewire {

inline constexpr std::uint32_t kNoObject = 0xffffffffu;  // PipeWire's PW_ID_ANY

struct NodeRecord {
  std::uint32_t clientId = kNoObject;  // "client.id" of the node global
  bool playsAudio = false;             // media.class Stream/Output/Audio
  // Carries on sound that other streams play (a loopback's or filter chain's playback side: a
  // node of a "node.link-group"), as the node's info says once it is in.
  bool relay = false;
  bool infoKnown = false;
  bool running = false;    // its info's state is PW_NODE_STATE_RUNNING
  bool audioSink = false;  // media.class Audio/Sink
};

struct PortRecord {
  std::uint32_t nodeId = kNoObject;
  bool output = false;
  bool monitor = false;
  std::string channel;  // "audio.channel"
  std::string name;     // "port.name"
};

struct ClientRecord {
  // Empty until the client's info has arrived: before that a pulse client cannot be told from
  // a native one, so nothing is decided about its streams.
  std::optional<ClientIdentity> identity;
  std::vector<TargetProcess> processes;  // the processes it belongs to, once its info is in
};

// The registry as far as linking needs it, keyed by global id while the global exists.
struct GraphState {
  std::map<std::uint32_t, NodeRecord> nodes;
  std::map<std::uint32_t, PortRecord> ports;
  std::map<std::uint32_t, ClientRecord> clients;
};

struct LinkRule {
  // true: every process but the targets (global mode); false: only the targets.
  bool everyProcessButTargets = false;
  // Whether a process is a target, by identity (a stranger with a target's pid is none) and, with
  // trees, by descent. Asked each time the links are planned, so nothing is heard before it
  // has judged.
  std::function<bool(const TargetProcess&)> isTarget;
  TargetProcess self;                       // our own process, never heard
  std::uint32_t captureNodeId = kNoObject;  // our own node, never linked; its ports are the inputs
};

// An input of the capture node that mixes one channel of the streams of one surround layout into
// both sides, with its weights.
struct MixInput {
  std::string name;
  std::string position;
  MixWeights weights;
  friend bool operator==(const MixInput&, const MixInput&) = default;
};

struct PlannedLink {
  std::uint32_t outputNode;
  std::uint32_t outputPort;
  std::uint32_t inputNode;
  std::uint32_t inputPort;
  friend auto operator<=>(const PlannedLink&, const PlannedLink&) = default;
};

// Whether the rule hears this node; nullopt while its owner is still unknown.
std::optional<bool> nodeIsHeard(std::uint32_t nodeId, const NodeRecord& node,
                                const GraphState& graph, const LinkRule& rule);

struct LinkPlan {
  std::vector<PlannedLink> links;       // in ascending order
  std::vector<MixInput> missingInputs;  // mix inputs the links need that the node lacks yet
};

// Every link from a heard node's output ports to the capture node's inputs: those of a stream of
// one or two channels to FL and FR, each channel of a surround stream to the mix input of its
// position in its layout. In global mode a relay is never heard: the streams it carries on are,
// so each application is heard once, and left out when it is excluded.
LinkPlan planLinks(const GraphState& graph, const LinkRule& rule);

// The capture node's mix inputs are named "mix_" POSITION "_of" and the layout's sorted positions,
// each after an underscore.
inline constexpr std::string_view kMixInputPrefix = "mix_";
std::string mixInputName(std::string_view position, const std::vector<std::string>& layout);

// Whether the graph has any audio at all: a sink to play to, or a stream that plays. A PipeWire
// that runs for screen sharing only, beside a PulseAudio that plays, has neither.
bool carriesAudio(const GraphState& graph);

// Whether any client of the graph belongs to a process that `isTarget` takes.
bool hasClientOfATarget(const GraphState& graph,
                        const std::function<bool(const TargetProcess&)>& isTarget);

}  // namespace quenwick::pipewire
