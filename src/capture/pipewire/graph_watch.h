// Follows the registry (clients, nodes, ports) and keeps the capture's links in place: after
// every event that can change the picture it plans the links afresh and makes or removes the
// difference. It also learns which processes the graph's clients belong to. Loop thread, or any
// thread holding the loop lock.
#pragma once

#include <spa/utils/dict.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/pipewire/link_plan.h"

namespace quenwick::pipewire {

// What the watch asks of the server: PipeWire's registry and link factory (registry_bridge.h),
// or a test's record of the requests.
class GraphServer {
 public:
  virtual ~GraphServer() = default;
  // Binds a client or a stream node, whose info then comes to clientInfo() or nodeInfo().
  virtual void bind(std::uint32_t id, bool client) = 0;
  virtual void unbind(std::uint32_t id) = 0;
  // Asks for a link; false when it could not even be asked. A refusal comes to linkRefused(),
  // and the link's end, whoever ends it, to linkGone().
  virtual bool link(const PlannedLink& link) = 0;
  virtual void unlink(const PlannedLink& link) = 0;
};

class GraphWatch {
 public:
  GraphWatch(GraphServer& server, const ProcessView& processes);
  GraphWatch(const GraphWatch&) = delete;
  GraphWatch& operator=(const GraphWatch&) = delete;

  const GraphState& state() const { return state_; }

  // The registry's events, and the server's answers about links.
  void globalAdded(std::uint32_t id, const char* type, const spa_dict* props);
  void globalRemoved(std::uint32_t id);
  void clientInfo(std::uint32_t id, const spa_dict* props);
  void nodeInfo(std::uint32_t id, const spa_dict* props);
  // A stream node's state, from its info: whether it runs (PW_NODE_STATE_RUNNING).
  void nodeRunning(std::uint32_t id, bool running);
  void linkRefused(const PlannedLink& link);
  void linkGone(const PlannedLink& link);

  // Makes the capture node's input for a surround channel; it may refuse (too many).
  using MixInputMaker = std::function<void(const MixInput&)>;

  // Installs the capture's rule and links what it asks for at once; nullopt removes every link.
  void setRule(std::optional<LinkRule> rule, MixInputMaker addMixInput = {});

  // Runs whenever a client brings processes with it or takes them away.
  void onProcessesChanged(std::function<void()> changed) { processesChanged_ = std::move(changed); }

  // Runs whenever a link to the capture node is asked for.
  void onLinking(std::function<void()> linking) { linking_ = std::move(linking); }

  // Who plays into the capture: the pids, ascending and each once, of the processes with a
  // running stream that a link of ours feeds into the capture node. `changed` hears the set at
  // once and then each change of it; an empty function stops the following.
  using PlayingChanged = std::function<void(const std::vector<std::int32_t>&)>;
  void followPlaying(PlayingChanged changed);

 private:
  void reconcile();
  void unlink(const PlannedLink& link);
  std::vector<std::int32_t> playing() const;
  void tellPlaying();

  GraphServer& server_;
  const ProcessView& processes_;
  GraphState state_;
  std::optional<LinkRule> rule_;
  MixInputMaker addMixInput_;
  std::set<std::string> requestedMixInputs_;
  std::set<PlannedLink> links_;
  // Links the server refused; not tried again while both ports stay the same.
  std::set<PlannedLink> refused_;
  std::function<void()> processesChanged_;
  std::function<void()> linking_;
  PlayingChanged playingChanged_;
  std::vector<std::int32_t> toldPlaying_;  // what playingChanged_ heard last
};

}  // namespace quenwick::pipewire
