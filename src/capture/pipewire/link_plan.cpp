#include "capture/pipewire/link_plan.h"

#include <algorithm>

#include "capture/pipewire/channel_map.h"

namespace quenwick::pipewire {

std::optional<bool> nodeIsTapped(std::uint32_t nodeId, const NodeRecord& node,
                                 const GraphState& graph, const LinkRule& rule) {
  if (!node.playsAudio || nodeId == rule.captureNodeId) return false;
  auto client = graph.clients.find(node.clientId);
  if (client == graph.clients.end() || !client->second.identity) return std::nullopt;
  const ClientIdentity& owner = *client->second.identity;
  if (clientBelongsTo(owner, rule.self)) return false;
  const bool named = std::any_of(rule.processes.begin(), rule.processes.end(), [&](const auto& p) {
    return clientBelongsTo(owner, p) && rule.targets.isTarget(p.pid);
  });
  const auto pid = owner.viaPulse ? owner.applicationPid : owner.securityPid;
  const bool listed = named || (rule.targets.tree && pid && rule.targets.covers(*pid));
  return rule.everyProcessExceptListed ? !listed : listed;
}

std::vector<PlannedLink> planLinks(const GraphState& graph, const LinkRule& rule) {
  std::uint32_t inputLeft = kNoObject;
  std::uint32_t inputRight = kNoObject;
  for (const auto& [id, port] : graph.ports) {
    if (port.nodeId != rule.captureNodeId || port.output || port.monitor) continue;
    if (port.channel == "FL") inputLeft = id;
    if (port.channel == "FR") inputRight = id;
  }

  // Whether a node is tapped asks the system about processes: once per node.
  std::map<std::uint32_t, bool> tapped;
  for (const auto& [id, node] : graph.nodes)
    tapped[id] = nodeIsTapped(id, node, graph, rule) == true;
  std::vector<PlannedLink> links;
  for (const auto& [portId, port] : graph.ports) {
    if (!port.output || port.monitor) continue;
    if (auto node = tapped.find(port.nodeId); node == tapped.end() || !node->second) continue;
    CaptureInputs inputs = captureInputsFor(port.channel);
    if ((static_cast<int>(inputs) & static_cast<int>(CaptureInputs::left)) &&
        inputLeft != kNoObject) {
      links.push_back({port.nodeId, portId, rule.captureNodeId, inputLeft});
    }
    if ((static_cast<int>(inputs) & static_cast<int>(CaptureInputs::right)) &&
        inputRight != kNoObject) {
      links.push_back({port.nodeId, portId, rule.captureNodeId, inputRight});
    }
  }
  std::sort(links.begin(), links.end());
  return links;
}

bool hasClientOf(const GraphState& graph, const ProcessIdentity& process) {
  return std::any_of(graph.clients.begin(), graph.clients.end(), [&](const auto& entry) {
    return entry.second.identity && clientBelongsTo(*entry.second.identity, process);
  });
}

}  // namespace quenwick::pipewire
