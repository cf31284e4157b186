#include "capture/pipewire/graph_watch.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace quenwick::pipewire {
namespace {

bool isType(const char* type, const char* wanted) {
  return std::strcmp(type, wanted) == 0;
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

struct GraphWatch::Bound {
  GraphWatch* owner;
  std::uint32_t id;
  pw_proxy* proxy;
  spa_hook listener{};
};

struct GraphWatch::OwnedLink {
  GraphWatch* owner;
  PlannedLink key;
  pw_proxy* proxy;
  spa_hook listener{};
};

GraphWatch::GraphWatch(pw_core* core, pw_registry* registry) : core_(core), registry_(registry) {
  static const pw_registry_events events = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
  }();
  pw_registry_add_listener(registry_, &registryListener_, &events, this);
}

GraphWatch::~GraphWatch() {
  spa_hook_remove(&registryListener_);
  rule_.reset();
  while (!links_.empty()) destroyLink(links_.begin()->first);
  for (auto& [id, bound] : bound_) {
    spa_hook_remove(&bound->listener);
    pw_proxy_destroy(bound->proxy);
  }
}

// Binds a global to learn its info, which `events` hands to `onInfo`.
template <typename Events>
void GraphWatch::bind(std::uint32_t id, const char* type, std::uint32_t version,
                      const Events& events) {
  auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, version, 0));
  if (proxy == nullptr) return;
  auto bound = std::make_unique<Bound>(Bound{this, id, proxy});
  pw_proxy_add_object_listener(proxy, &bound->listener, &events, bound.get());
  bound_[id] = std::move(bound);
}

void GraphWatch::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                          std::uint32_t, const spa_dict* props) {
  auto* self = static_cast<GraphWatch*>(data);
  if (props == nullptr) return;
  if (isType(type, PW_TYPE_INTERFACE_Node)) {
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    const bool plays = mediaClass != nullptr && std::strcmp(mediaClass, "Stream/Output/Audio") == 0;
    self->state_.nodes[id] = {idProperty(props, PW_KEY_CLIENT_ID), plays, false, false};
    if (plays) {
      // Only a stream's info says whether it carries on other streams' sound (its link group).
      static const pw_node_events nodeEvents = [] {
        pw_node_events e{};
        e.version = PW_VERSION_NODE_EVENTS;
        e.info = onNodeInfo;
        return e;
      }();
      self->bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, nodeEvents);
    }
  } else if (isType(type, PW_TYPE_INTERFACE_Port)) {
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
    const char* name = spa_dict_lookup(props, PW_KEY_PORT_NAME);
    self->state_.ports[id] = {idProperty(props, PW_KEY_NODE_ID),
                              direction != nullptr && std::strcmp(direction, "out") == 0,
                              flagProperty(props, PW_KEY_PORT_MONITOR),
                              channel != nullptr ? channel : "", name != nullptr ? name : ""};
  } else if (isType(type, PW_TYPE_INTERFACE_Client)) {
    // Only the client's info tells a pulse client from a native one, so bind it and decide
    // nothing about its streams until the info is here.
    self->state_.clients[id] = {};
    static const pw_client_events clientEvents = [] {
      pw_client_events e{};
      e.version = PW_VERSION_CLIENT_EVENTS;
      e.info = onClientInfo;
      return e;
    }();
    self->bind(id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, clientEvents);
    return;  // nothing to link before the info arrives
  } else {
    return;
  }
  self->reconcile();
}

void GraphWatch::onGlobalRemove(void* data, std::uint32_t id) {
  auto* self = static_cast<GraphWatch*>(data);
  self->state_.nodes.erase(id);
  self->state_.clients.erase(id);
  if (auto bound = self->bound_.find(id); bound != self->bound_.end()) {
    spa_hook_remove(&bound->second->listener);
    pw_proxy_destroy(bound->second->proxy);
    self->bound_.erase(bound);
  }
  if (self->state_.ports.erase(id) > 0) {
    // The server drops links with their ports; ours go at once, so that a new port that
    // reuses the id is linked afresh.
    std::vector<PlannedLink> gone;
    for (const auto& [key, link] : self->links_) {
      if (key.outputPort == id || key.inputPort == id) gone.push_back(key);
    }
    for (const auto& key : gone) self->destroyLink(key);
    std::erase_if(self->refused_, [id](const PlannedLink& key) {
      return key.outputPort == id || key.inputPort == id;
    });
  }
  self->reconcile();
}

void GraphWatch::onNodeInfo(void* data, const pw_node_info* info) {
  auto* bound = static_cast<Bound*>(data);
  if (info == nullptr || info->props == nullptr ||
      (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) {
    return;
  }
  GraphWatch* self = bound->owner;
  auto node = self->state_.nodes.find(bound->id);
  if (node == self->state_.nodes.end()) return;
  node->second.relay = spa_dict_lookup(info->props, PW_KEY_NODE_LINK_GROUP) != nullptr;
  node->second.infoKnown = true;
  self->reconcile();
}

void GraphWatch::onClientInfo(void* data, const pw_client_info* info) {
  auto* bound = static_cast<Bound*>(data);
  if (info == nullptr || info->props == nullptr ||
      (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) == 0) {
    return;
  }
  GraphWatch* self = bound->owner;
  auto client = self->state_.clients.find(bound->id);
  if (client == self->state_.clients.end()) return;
  client->second.identity = identityFrom(info->props);
  self->reconcile();
}

void GraphWatch::setRule(std::optional<LinkRule> rule, MixInputMaker addMixInput) {
  rule_ = std::move(rule);
  addMixInput_ = std::move(addMixInput);
  refused_.clear();
  reconcile();
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
  for (const auto& [key, link] : links_) {
    if (!std::binary_search(wanted.begin(), wanted.end(), key)) unwanted.push_back(key);
  }
  for (const auto& key : unwanted) destroyLink(key);
  for (const auto& key : wanted) {
    if (!links_.contains(key) && !refused_.contains(key)) createLink(key);
  }
}

void GraphWatch::createLink(const PlannedLink& link) {
  const std::string outputNode = std::to_string(link.outputNode);
  const std::string outputPort = std::to_string(link.outputPort);
  const std::string inputNode = std::to_string(link.inputNode);
  const std::string inputPort = std::to_string(link.inputPort);
  const spa_dict_item items[] = {
      SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_NODE, outputNode.c_str()),
      SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, outputPort.c_str()),
      SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_NODE, inputNode.c_str()),
      SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, inputPort.c_str()),
      // The server removes the link when we go, however we go.
      SPA_DICT_ITEM_INIT(PW_KEY_OBJECT_LINGER, "false"),
  };
  const spa_dict props = SPA_DICT_INIT_ARRAY(items);
  auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
      core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props, 0));
  if (proxy == nullptr) {
    refused_.insert(link);
    return;
  }
  auto owned = std::make_unique<OwnedLink>(OwnedLink{this, link, proxy});
  static const pw_proxy_events events = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.removed = onLinkRemoved;
    e.error = onLinkError;
    e.destroy = onLinkDestroyed;
    return e;
  }();
  pw_proxy_add_listener(proxy, &owned->listener, &events, owned.get());
  links_[link] = std::move(owned);
}

void GraphWatch::destroyLink(const PlannedLink& link) {
  auto node = links_.extract(link);
  if (node.empty()) return;
  spa_hook_remove(&node.mapped()->listener);
  pw_proxy_destroy(node.mapped()->proxy);
}

void GraphWatch::onLinkRemoved(void* data) {
  auto* owned = static_cast<OwnedLink*>(data);
  // The server removed the link: its ports went, or someone unlinked it. The next registry
  // event plans it again if it is still wanted.
  owned->owner->destroyLink(owned->key);
}

void GraphWatch::onLinkError(void* data, int, int, const char*) {
  auto* owned = static_cast<OwnedLink*>(data);
  // The proxy is still in use by the core that reports the error; the server removes it
  // next, and onLinkRemoved frees it.
  owned->owner->refused_.insert(owned->key);
}

void GraphWatch::onLinkDestroyed(void* data) {
  auto* owned = static_cast<OwnedLink*>(data);
  // Destroyed from outside (the core went away): forget it without touching the proxy.
  GraphWatch* self = owned->owner;
  auto node = self->links_.extract(owned->key);
  if (!node.empty()) spa_hook_remove(&node.mapped()->listener);
}

}  // namespace quenwick::pipewire
