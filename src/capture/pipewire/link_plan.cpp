#include "capture/pipewire/link_plan.h"

#include <algorithm>

#include "capture/mixing/channel_map.h"

namespace quenwick::pipewire {

std::optional<bool> nodeIsHeard(std::uint32_t nodeId, const NodeRecord& node,
                                const GraphState& graph, const LinkRule& rule) {
  if (!node.playsAudio || nodeId == rule.captureNodeId) return false;
  if (rule.everyProcessButTargets) {
    if (!node.infoKnown) return std::nullopt;
    if (node.relay) return false;
  }
  auto client = graph.clients.find(node.clientId);
  if (client == graph.clients.end() || !client->second.identity) return std::nullopt;
  const auto& processes = client->second.processes;
  if (std::find(processes.begin(), processes.end(), rule.self) != processes.end()) return false;
  const bool targeted = std::any_of(processes.begin(), processes.end(), rule.isTarget);
  return targeted != rule.everyProcessButTargets;
}

LinkPlan planLinks(const GraphState& graph, const LinkRule& rule) {
  std::uint32_t inputLeft = kNoObject;
  std::uint32_t inputRight = kNoObject;
  std::map<std::string, std::uint32_t> mixInputs;
  std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, const PortRecord*>>> streams;
  for (const auto& [id, port] : graph.ports) {
    if (port.monitor) continue;
    if (port.nodeId == rule.captureNodeId && !port.output) {
      if (port.name.starts_with(kMixInputPrefix)) {
        mixInputs[port.name] = id;
      } else if (port.channel == "FL") {
        inputLeft = id;
      } else if (port.channel == "FR") {
        inputRight = id;
      }
    } else if (port.output) {
      streams[port.nodeId].emplace_back(id, &port);
    }
  }
  LinkPlan plan;
  for (const auto& [nodeId, ports] : streams) {
    auto node = graph.nodes.find(nodeId);
    if (node == graph.nodes.end() || nodeIsHeard(nodeId, node->second, graph, rule) != true) {
      continue;
    }
    if (ports.size() > 2) {
      std::vector<std::string> layout;
      for (const auto& [id, port] : ports) layout.push_back(port->channel);
      std::sort(layout.begin(), layout.end());
      for (const auto& [id, port] : ports) {
        const MixInput input{mixInputName(port->channel, layout), port->channel,
                             mixdownWeights(port->channel, layout)};
        if (auto found = mixInputs.find(input.name); found != mixInputs.end()) {
          plan.links.push_back({nodeId, id, rule.captureNodeId, found->second});
        } else if (std::find(plan.missingInputs.begin(), plan.missingInputs.end(), input) ==
                   plan.missingInputs.end()) {
          plan.missingInputs.push_back(input);
        }
      }
      continue;
    }
    for (const auto& [id, port] : ports) {
      const auto inputs = static_cast<int>(captureInputsFor(port->channel));
      if ((inputs & static_cast<int>(CaptureInputs::left)) && inputLeft != kNoObject) {
        plan.links.push_back({nodeId, id, rule.captureNodeId, inputLeft});
      }
      if ((inputs & static_cast<int>(CaptureInputs::right)) && inputRight != kNoObject) {
        plan.links.push_back({nodeId, id, rule.captureNodeId, inputRight});
      }
    }
  }
  std::sort(plan.links.begin(), plan.links.end());
  return plan;
}

std::string mixInputName(std::string_view position, const std::vector<std::string>& layout) {
  std::string name = std::string(kMixInputPrefix) + std::string(position) + "_of";
  for (const std::string& other : layout) name += "_" + other;
  return name;
}

bool carriesAudio(const GraphState& graph) {
  return std::any_of(graph.nodes.begin(), graph.nodes.end(), [](const auto& node) {
    return node.second.audioSink || node.second.playsAudio;
  });
}

bool hasClientOfATarget(const GraphState& graph,
                        const std::function<bool(const TargetProcess&)>& isTarget) {
  return std::any_of(graph.clients.begin(), graph.clients.end(), [&](const auto& entry) {
    const auto& processes = entry.second.processes;
    return std::any_of(processes.begin(), processes.end(), isTarget);
  });
}

}  // namespace quenwick::pipewire
