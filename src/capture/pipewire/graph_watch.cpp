#include "capture/pipewire/graph_watch.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

namespace quenwick::pipewire {
namespace {

bool isType(const char* type, const char* wanted) {
  return type != nullptr && std::strcmp(type, wanted) == 0;
}

std::uint32_t idProperty(const spa_dict* props, const char* key) {
  const char* text = spa_dict_lookup(props, key);
  if (text == nullptr) return kNoObject;
  const std::size_t length = std::strlen(text);
  std::uint32_t value = kNoObject;
  auto [end, error] = std::from_chars(text, text + length, value);
  return error == std::errc{} && end == text + length ? value : kNoObject;
}

bool flagProperty(const spa_dict* props, const char* key) {
  const char* text = spa_dict_lookup(props, key);
  return text != nullptr && spa_atob(text);
}

ClientIdentity identityFrom(const spa_dict* props) {
  ClientIdentity identity;
  identity.securityPid = parsePid(spa_dict_lookup(props, PW_KEY_SEC_PID));
  identity.applicationPid = parsePid(spa_dict_lookup(props, PW_KEY_APP_PROCESS_ID));
  if (const char* binary = spa_dict_lookup(props, PW_KEY_APP_PROCESS_BINARY)) {
    identity.applicationBinary = binary;
  }
  identity.viaPulse = spa_dict_lookup(props, "pulse.server.type") != nullptr;
  return identity;
}

}  // namespace

GraphWatch::GraphWatch(GraphServer& server, const ProcessView& processes)
    : server_(server), processes_(processes) {}

void GraphWatch::globalAdded(std::uint32_t id, const char* type, const spa_dict* props) {
  if (props == nullptr) return;
  if (isType(type, PW_TYPE_INTERFACE_Node)) {
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    const bool plays = mediaClass != nullptr && std::strcmp(mediaClass, "Stream/Output/Audio") == 0;
    const bool sink = mediaClass != nullptr && std::strcmp(mediaClass, "Audio/Sink") == 0;
    state_.nodes[id] = {idProperty(props, PW_KEY_CLIENT_ID), plays, false, false, false, sink};
    // Only a stream's info says whether it carries on other streams' sound (its link group).
    if (plays) server_.bind(id, false);
  } else if (isType(type, PW_TYPE_INTERFACE_Port)) {
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
    const char* name = spa_dict_lookup(props, PW_KEY_PORT_NAME);
    state_.ports[id] = {idProperty(props, PW_KEY_NODE_ID),
                        direction != nullptr && std::strcmp(direction, "out") == 0,
                        flagProperty(props, PW_KEY_PORT_MONITOR), channel != nullptr ? channel : "",
                        name != nullptr ? name : ""};
  } else if (isType(type, PW_TYPE_INTERFACE_Client)) {
    // Only the client's info tells a pulse client from a native one, so bind it and decide
    // nothing about its streams until the info is here.
    state_.clients[id] = {};
    server_.bind(id, true);
    return;
  } else {
    return;
  }
  reconcile();
}

void GraphWatch::globalRemoved(std::uint32_t id) {
  const auto client = state_.clients.find(id);
  const bool hadProcesses = client != state_.clients.end() && !client->second.processes.empty();
  if (state_.nodes.erase(id) + state_.clients.erase(id) > 0) server_.unbind(id);
  if (state_.ports.erase(id) > 0) {
    // A refusal was about the port that went: a new port that reuses the id is asked for afresh.
    // (The links of a gone port are no longer planned, so the reconciling below drops ours.)
    std::erase_if(refused_, [id](const PlannedLink& key) {
      return key.outputPort == id || key.inputPort == id;
    });
  }
  reconcile();
  if (hadProcesses && processesChanged_) processesChanged_();
}

void GraphWatch::nodeInfo(std::uint32_t id, const spa_dict* props) {
  auto node = state_.nodes.find(id);
  if (props == nullptr || node == state_.nodes.end()) return;
  node->second.relay = spa_dict_lookup(props, PW_KEY_NODE_LINK_GROUP) != nullptr;
  node->second.infoKnown = true;
  reconcile();
}

void GraphWatch::nodeRunning(std::uint32_t id, bool running) {
  auto node = state_.nodes.find(id);
  if (node == state_.nodes.end() || node->second.running == running) return;
  node->second.running = running;
  tellPlaying();
}

void GraphWatch::clientInfo(std::uint32_t id, const spa_dict* props) {
  auto client = state_.clients.find(id);
  if (props == nullptr || client == state_.clients.end()) return;
  ClientRecord& record = client->second;
  record.identity = identityFrom(props);
  auto processes = processesOf(*record.identity, processes_);
  const bool changed = processes != record.processes;
  if (changed) record.processes = std::move(processes);
  reconcile();
  if (changed && processesChanged_) processesChanged_();
}

void GraphWatch::linkRefused(const PlannedLink& link) {
  refused_.insert(link);
  tellPlaying();
}

void GraphWatch::linkGone(const PlannedLink& link) {
  // Its ports went, or someone unlinked it: the next event plans it again if it is still wanted.
  links_.erase(link);
  tellPlaying();
}

void GraphWatch::followPlaying(PlayingChanged changed) {
  playingChanged_ = std::move(changed);
  if (!playingChanged_) return;
  toldPlaying_ = playing();
  playingChanged_(toldPlaying_);
}

std::vector<std::int32_t> GraphWatch::playing() const {
  std::set<std::int32_t> pids;
  for (const PlannedLink& link : links_) {
    if (refused_.contains(link)) continue;
    const auto node = state_.nodes.find(link.outputNode);
    if (node == state_.nodes.end() || !node->second.running) continue;
    const auto client = state_.clients.find(node->second.clientId);
    if (client == state_.clients.end()) continue;
    for (const TargetProcess& process : client->second.processes) pids.insert(process.pid);
  }
  return {pids.begin(), pids.end()};
}

void GraphWatch::tellPlaying() {
  if (!playingChanged_) return;
  auto now = playing();
  if (now == toldPlaying_) return;
  toldPlaying_ = std::move(now);
  playingChanged_(toldPlaying_);
}

void GraphWatch::setRule(std::optional<LinkRule> rule, MixInputMaker addMixInput) {
  rule_ = std::move(rule);
  addMixInput_ = std::move(addMixInput);
  refused_.clear();
  reconcile();
}

void GraphWatch::unlink(const PlannedLink& link) {
  if (links_.erase(link) > 0) server_.unlink(link);
}

void GraphWatch::reconcile() {
  LinkPlan plan;
  if (rule_) plan = planLinks(state_, *rule_);
  // A mix input is asked for once; its port shows up in the registry, and then it is linked.
  for (const MixInput& input : plan.missingInputs) {
    if (addMixInput_ && requestedMixInputs_.insert(input.name).second) addMixInput_(input);
  }
  const std::vector<PlannedLink>& wanted = plan.links;
  std::vector<PlannedLink> unwanted;
  for (const PlannedLink& key : links_) {
    if (!std::binary_search(wanted.begin(), wanted.end(), key)) unwanted.push_back(key);
  }
  for (const PlannedLink& key : unwanted) unlink(key);
  for (const PlannedLink& key : wanted) {
    if (links_.contains(key) || refused_.contains(key)) continue;
    if (linking_) linking_();
    if (server_.link(key)) {
      links_.insert(key);
    } else {
      refused_.insert(key);
    }
  }
  tellPlaying();
}

}  // namespace quenwick::pipewire
