// Follows the registry (clients, nodes, ports) and keeps the tap's links in place: after every
// event that can change the picture it plans the links afresh and makes or removes the
// difference. Loop thread, or any thread holding the loop lock.
#pragma once

#include <pipewire/pipewire.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "capture/pipewire/link_plan.h"

namespace quenwick::pipewire {

class GraphWatch {
 public:
  GraphWatch(pw_core* core, pw_registry* registry);
  // Destroys our links and client bindings.
  ~GraphWatch();
  GraphWatch(const GraphWatch&) = delete;
  GraphWatch& operator=(const GraphWatch&) = delete;

  const GraphState& state() const { return state_; }

  // Makes the capture node's input for a surround channel; it may refuse (too many).
  using MixInputMaker = std::function<void(const MixInput&)>;

  // Installs the tap's rule and links what it asks for at once; nullopt removes every link.
  void setRule(std::optional<LinkRule> rule, MixInputMaker addMixInput = {});

  // The links we hold, for the tests and for teardown.
  std::size_t linkCount() const { return links_.size(); }

 private:
  struct Bound;
  struct OwnedLink;

  static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                       std::uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, std::uint32_t id);
  static void onClientInfo(void* data, const pw_client_info* info);
  static void onNodeInfo(void* data, const pw_node_info* info);
  template <typename Events>
  void bind(std::uint32_t id, const char* type, std::uint32_t version, const Events& events);
  static void onLinkRemoved(void* data);
  static void onLinkError(void* data, int seq, int res, const char* message);
  static void onLinkDestroyed(void* data);

  void reconcile();
  void createLink(const PlannedLink& link);
  void destroyLink(const PlannedLink& link);

  pw_core* core_;
  pw_registry* registry_;
  spa_hook registryListener_{};
  GraphState state_;
  std::optional<LinkRule> rule_;
  MixInputMaker addMixInput_;
  std::set<std::string> requestedMixInputs_;
  std::map<std::uint32_t, std::unique_ptr<Bound>> bound_;  // clients and streams, for their info
  std::map<PlannedLink, std::unique_ptr<OwnedLink>> links_;
  // Links the server refused; not tried again while both ports stay the same.
  std::set<PlannedLink> refused_;
};

}  // namespace quenwick::pipewire
