// Our connection to the PipeWire server: a pw_thread_loop that runs the core, the registry and
// every proxy, with all waits bounded. Registry, proxy and stream events run on the loop's
// thread with the loop lock held; other threads take the lock (LoopLock) before they touch
// anything that lives here.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "capture/pipewire/pipewire_library.h"
#include "capture/pipewire/registry_bridge.h"

namespace quenwick::pipewire {

class PipeWireConnection {
 public:
  // Connects and learns the whole registry, including every client's properties. Returns null
  // when no server answers within `timeout`; `error` then holds a negative errno value.
  static std::unique_ptr<PipeWireConnection> open(std::chrono::milliseconds timeout, int& error);

  // Without the loop lock: disconnects and stops the loop thread.
  ~PipeWireConnection();
  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }
  GraphWatch& graph() { return graph_->watch(); }

  // The waits below need the loop lock held exactly once by the caller: the loop's lock is
  // recursive, and a wait releases only one level of it.

  // Returns once the server has answered a sync, so that every event it sent before has been
  // handled here. Two round trips learn new clients with their properties: the first brings
  // the globals (and binds them), the second the info of what was bound.
  bool roundtrip(std::chrono::milliseconds timeout);
  // Waits until `done()` holds, the connection breaks or `timeout` passes.
  bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done);
  // Wakes the waiters; loop thread.
  void wake() { pw().thread_loop_signal(loop_, false); }

  // Any thread: the loop thread sets it, without the lock.
  bool broken() const { return broken_.load(); }
  // Loop thread, loop lock held: called once, when the connection to the server is lost.
  void onBroken(std::function<void()> lost) { lost_ = std::move(lost); }

 private:
  PipeWireConnection() = default;
  static void onCoreDone(void* data, std::uint32_t id, int seq);
  static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
  void lose();

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook coreListener_{};
  spa_hook coreProxyListener_{};
  std::unique_ptr<RegistryBridge> graph_;
  int lastDoneSeq_ = -1;
  std::atomic<bool> broken_{false};
  std::function<void()> lost_;
};

// Holds the loop lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw().thread_loop_lock(loop_); }
  ~LoopLock() { pw().thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

}  // namespace quenwick::pipewire
