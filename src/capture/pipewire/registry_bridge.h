// The graph watch on a PipeWire server: the registry's events and the info of what it binds go
// to the watch, and the watch's requests become proxies, bound clients and stream nodes, and
// links made with the link factory. Loop thread, loop lock held.
#pragma once

#include <pipewire/pipewire.h>

#include <map>
#include <memory>

#include "capture/pipewire/graph_watch.h"

namespace quenwick::pipewire {

class RegistryBridge final : public GraphServer {
 public:
  RegistryBridge(pw_core* core, pw_registry* registry, const ProcessView& processes);
  // Destroys our links and bindings.
  ~RegistryBridge() override;
  RegistryBridge(const RegistryBridge&) = delete;
  RegistryBridge& operator=(const RegistryBridge&) = delete;

  GraphWatch& watch() { return watch_; }

  void bind(std::uint32_t id, bool client) override;
  void unbind(std::uint32_t id) override;
  bool link(const PlannedLink& link) override;
  void unlink(const PlannedLink& link) override;

 private:
  struct Bound;
  struct OwnedLink;

  static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                       std::uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, std::uint32_t id);
  static void onClientInfo(void* data, const pw_client_info* info);
  static void onNodeInfo(void* data, const pw_node_info* info);
  static void onLinkRemoved(void* data);
  static void onLinkError(void* data, int seq, int res, const char* message);
  static void onLinkDestroyed(void* data);

  pw_core* core_;
  pw_registry* registry_;
  spa_hook registryListener_{};
  GraphWatch watch_;
  std::map<std::uint32_t, std::unique_ptr<Bound>> bound_;  // clients and streams, for their info
  std::map<PlannedLink, std::unique_ptr<OwnedLink>> links_;
};

}  // namespace quenwick::pipewire
