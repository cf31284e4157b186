#include "capture/pipewire/registry_bridge.h"

#include <string>

#include "capture/pipewire/pipewire_library.h"

namespace quenwick::pipewire {

struct RegistryBridge::Bound {
  RegistryBridge* owner;
  std::uint32_t id;
  pw_proxy* proxy;
  spa_hook listener{};
};

struct RegistryBridge::OwnedLink {
  RegistryBridge* owner;
  PlannedLink key;
  pw_proxy* proxy;
  spa_hook listener{};
};

RegistryBridge::RegistryBridge(pw_core* core, pw_registry* registry, const ProcessView& processes)
    : core_(core), registry_(registry), watch_(*this, processes) {
  static const pw_registry_events events = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
  }();
  pw_registry_add_listener(registry_, &registryListener_, &events, this);
}

RegistryBridge::~RegistryBridge() {
  spa_hook_remove(&registryListener_);
  while (!links_.empty()) unlink(links_.begin()->first);
  while (!bound_.empty()) unbind(bound_.begin()->first);
}

void RegistryBridge::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                              std::uint32_t, const spa_dict* props) {
  static_cast<RegistryBridge*>(data)->watch_.globalAdded(id, type, props);
}

void RegistryBridge::onGlobalRemove(void* data, std::uint32_t id) {
  static_cast<RegistryBridge*>(data)->watch_.globalRemoved(id);
}

void RegistryBridge::onClientInfo(void* data, const pw_client_info* info) {
  auto* bound = static_cast<Bound*>(data);
  if (info != nullptr && (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) != 0) {
    bound->owner->watch_.clientInfo(bound->id, info->props);
  }
}

void RegistryBridge::onNodeInfo(void* data, const pw_node_info* info) {
  auto* bound = static_cast<Bound*>(data);
  if (info == nullptr) return;
  if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) {
    bound->owner->watch_.nodeInfo(bound->id, info->props);
  }
  if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) != 0) {
    bound->owner->watch_.nodeRunning(bound->id, info->state == PW_NODE_STATE_RUNNING);
  }
}

void RegistryBridge::bind(std::uint32_t id, bool client) {
  static const pw_client_events clientEvents = [] {
    pw_client_events e{};
    e.version = PW_VERSION_CLIENT_EVENTS;
    e.info = onClientInfo;
    return e;
  }();
  static const pw_node_events nodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = onNodeInfo;
    return e;
  }();
  unbind(id);
  auto* proxy = static_cast<pw_proxy*>(
      client ? pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0)
             : pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (proxy == nullptr) return;
  auto bound = std::make_unique<Bound>(Bound{this, id, proxy});
  if (client) {
    pw().proxy_add_object_listener(proxy, &bound->listener, &clientEvents, bound.get());
  } else {
    pw().proxy_add_object_listener(proxy, &bound->listener, &nodeEvents, bound.get());
  }
  bound_[id] = std::move(bound);
}

void RegistryBridge::unbind(std::uint32_t id) {
  auto bound = bound_.extract(id);
  if (bound.empty()) return;
  spa_hook_remove(&bound.mapped()->listener);
  pw().proxy_destroy(bound.mapped()->proxy);
}

bool RegistryBridge::link(const PlannedLink& link) {
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
  if (proxy == nullptr) return false;
  auto owned = std::make_unique<OwnedLink>(OwnedLink{this, link, proxy});
  static const pw_proxy_events events = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.removed = onLinkRemoved;
    e.error = onLinkError;
    e.destroy = onLinkDestroyed;
    return e;
  }();
  pw().proxy_add_listener(proxy, &owned->listener, &events, owned.get());
  links_[link] = std::move(owned);
  return true;
}

void RegistryBridge::unlink(const PlannedLink& link) {
  auto owned = links_.extract(link);
  if (owned.empty()) return;
  spa_hook_remove(&owned.mapped()->listener);
  pw().proxy_destroy(owned.mapped()->proxy);
}

void RegistryBridge::onLinkRemoved(void* data) {
  auto* owned = static_cast<OwnedLink*>(data);
  RegistryBridge* self = owned->owner;
  const PlannedLink key = owned->key;
  self->unlink(key);
  self->watch_.linkGone(key);
}

void RegistryBridge::onLinkError(void* data, int, int, const char*) {
  auto* owned = static_cast<OwnedLink*>(data);
  // The proxy is still in use by the core that reports the error; the server removes it next,
  // and onLinkRemoved frees it.
  owned->owner->watch_.linkRefused(owned->key);
}

void RegistryBridge::onLinkDestroyed(void* data) {
  auto* owned = static_cast<OwnedLink*>(data);
  // Destroyed from outside (the core went away): forget it without touching the proxy.
  RegistryBridge* self = owned->owner;
  const PlannedLink key = owned->key;
  auto node = self->links_.extract(key);
  if (!node.empty()) spa_hook_remove(&node.mapped()->listener);
  self->watch_.linkGone(key);
}

}  // namespace quenwick::pipewire
