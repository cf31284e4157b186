// libpipewire, opened at run time: the agent is not linked with it, so that a machine without it
// still starts the agent and hears why it cannot capture, in a status line. Every function of
// libpipewire that the backend calls comes through the one table below; the headers still give
// the types and their inline helpers (the pw_core_*, pw_registry_* and pw_loop_* methods go
// through the objects' own interfaces and need no symbol).
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <pipewire/thread-loop.h>

#include <optional>

#include "capture/capture.h"

namespace quenwick::pipewire {

// The soname that PipeWire's client library has had since 0.3.
inline constexpr const char* kPipeWireLibrary = "libpipewire-0.3.so.0";

// The functions the backend calls, without their pw_ prefix.
// clang-format off
#define QUENWICK_PIPEWIRE_FUNCTIONS(X)                                                          \
  X(init)                                                                                       \
  X(context_new) X(context_connect) X(context_destroy) X(core_disconnect)                       \
  X(thread_loop_new) X(thread_loop_destroy) X(thread_loop_start) X(thread_loop_stop)            \
  X(thread_loop_lock) X(thread_loop_unlock) X(thread_loop_signal) X(thread_loop_get_loop)       \
  X(thread_loop_get_time) X(thread_loop_timed_wait_full)                                        \
  X(properties_new)                                                                             \
  X(proxy_add_listener) X(proxy_add_object_listener) X(proxy_destroy)                           \
  X(filter_new) X(filter_add_listener) X(filter_add_port) X(filter_connect)                     \
  X(filter_disconnect) X(filter_destroy) X(filter_get_node_id) X(filter_get_dsp_buffer)
// clang-format on

// pw().thread_loop_lock is pw_thread_loop_lock, and so on.
struct PipeWireFunctions {
#define QUENWICK_PIPEWIRE_MEMBER(name) decltype(&::pw_##name) name = nullptr;
  QUENWICK_PIPEWIRE_FUNCTIONS(QUENWICK_PIPEWIRE_MEMBER)
#undef QUENWICK_PIPEWIRE_MEMBER
};

// Opens the library and takes every function of the table, once for the process; later calls
// give the first answer. A failure names the library or the functions it lacks, and what to
// install. Main thread, before any other thread touches PipeWire.
std::optional<CaptureFailure> loadPipeWire();

// The table, complete once loadPipeWire() has succeeded; any thread from then on.
const PipeWireFunctions& pw();

}  // namespace quenwick::pipewire
