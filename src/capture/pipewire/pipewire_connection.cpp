#include "capture/pipewire/pipewire_connection.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace quenwick::pipewire {
namespace {

// The capture node's cycles are taken on the delivering thread, which must keep the graph's
// deadlines as the players' threads do: under load a normal thread misses cycles, each one lost
// to the capture alone. client-rt.conf loads PipeWire's module-rt, which makes that thread
// real-time (itself, or through RTKit) as it does for pw-play; the default client.conf of the
// releases that have client-rt.conf (Debian 12's, Ubuntu 22.04's) does not. Where there is no
// client-rt.conf, client.conf is the one that loads it.
pw_context* newRealTimeContext(pw_loop* loop) {
  if (pw_context* context = pw().context_new(
          loop, pw().properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0)) {
    return context;
  }
  return pw().context_new(loop, nullptr, 0);
}

}  // namespace

std::unique_ptr<PipeWireConnection> PipeWireConnection::open(std::chrono::milliseconds timeout,
                                                             int& error) {
  // Standard error carries status lines only, whatever the host's PIPEWIRE_DEBUG asks for or a
  // missing configuration file makes PipeWire say: its log is silenced from its first line, and
  // anything that logs anyway goes nowhere.
  setenv("PIPEWIRE_DEBUG", "0", 1);
  setenv("PIPEWIRE_LOG", "/dev/null", 1);
  pw().init(nullptr, nullptr);
  std::unique_ptr<PipeWireConnection> connection(new PipeWireConnection());
  auto& c = *connection;
  c.loop_ = pw().thread_loop_new("quenwick-pipewire", nullptr);
  if (c.loop_ == nullptr) {
    error = -errno;
    return nullptr;
  }
  c.context_ = newRealTimeContext(pw().thread_loop_get_loop(c.loop_));
  if (c.context_ == nullptr || pw().thread_loop_start(c.loop_) < 0) {
    error = -errno;
    return nullptr;
  }

  LoopLock lock(c.loop_);
  c.core_ = pw().context_connect(c.context_, nullptr, 0);
  if (c.core_ == nullptr) {
    error = -errno;
    return nullptr;
  }
  static const pw_core_events events = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onCoreDone;
    e.error = onCoreError;
    return e;
  }();
  pw_core_add_listener(c.core_, &c.coreListener_, &events, &c);
  // A core that the server removes is as gone as a connection that broke.
  static const pw_proxy_events proxyEvents = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.removed = [](void* data) { static_cast<PipeWireConnection*>(data)->lose(); };
    return e;
  }();
  pw().proxy_add_listener(reinterpret_cast<pw_proxy*>(c.core_), &c.coreProxyListener_, &proxyEvents,
                          &c);
  c.registry_ = pw_core_get_registry(c.core_, PW_VERSION_REGISTRY, 0);
  if (c.registry_ == nullptr) {
    error = -errno;
    return nullptr;
  }
  c.graph_ = std::make_unique<RegistryBridge>(c.core_, c.registry_, systemProcesses());
  if (!c.roundtrip(timeout) || !c.roundtrip(timeout)) {
    error = c.broken() ? -EPIPE : -ETIMEDOUT;
    return nullptr;
  }
  error = 0;
  return connection;
}

PipeWireConnection::~PipeWireConnection() {
  if (loop_ != nullptr) {
    pw().thread_loop_lock(loop_);
    graph_.reset();
    if (registry_ != nullptr) pw().proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    if (core_ != nullptr) {
      spa_hook_remove(&coreListener_);
      spa_hook_remove(&coreProxyListener_);
      pw().core_disconnect(core_);
    }
    pw().thread_loop_unlock(loop_);
    pw().thread_loop_stop(loop_);
  }
  if (context_ != nullptr) pw().context_destroy(context_);
  if (loop_ != nullptr) pw().thread_loop_destroy(loop_);
}

void PipeWireConnection::onCoreDone(void* data, std::uint32_t id, int seq) {
  auto* self = static_cast<PipeWireConnection*>(data);
  if (id != PW_ID_CORE) return;
  self->lastDoneSeq_ = seq;
  self->wake();
}

void PipeWireConnection::onCoreError(void* data, std::uint32_t id, int, int res, const char*) {
  auto* self = static_cast<PipeWireConnection*>(data);
  // Errors about our other objects reach their proxies; a core error with EPIPE is the end of
  // the connection.
  if (id == PW_ID_CORE && res == -EPIPE) self->lose();
}

void PipeWireConnection::lose() {
  if (broken_.exchange(true)) return;
  wake();
  if (lost_) lost_();
}

bool PipeWireConnection::waitFor(std::chrono::milliseconds timeout,
                                 const std::function<bool()>& done) {
  timespec deadline{};
  pw().thread_loop_get_time(loop_, &deadline,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
  while (!done()) {
    if (broken()) return false;
    if (pw().thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) return done();
  }
  return true;
}

bool PipeWireConnection::roundtrip(std::chrono::milliseconds timeout) {
  if (broken()) return false;
  const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
  return waitFor(timeout, [&] { return lastDoneSeq_ == seq; });
}

}  // namespace quenwick::pipewire
