// libpulse, opened at run time as libpipewire is (runtime_library.h). Every function of libpulse
// that the backend calls comes through the one table below; the headers give the types.
#pragma once

#include <pulse/pulseaudio.h>

#include <optional>

#include "capture/capture.h"

namespace quenwick::pulseaudio {

// The soname that PulseAudio's client library has had since 0.9.
inline constexpr const char* kPulseLibrary = "libpulse.so.0";

// The functions the backend calls, without their pa_ prefix.
// clang-format off
#define QUENWICK_PULSE_FUNCTIONS(X)                                                             \
  X(threaded_mainloop_new) X(threaded_mainloop_free) X(threaded_mainloop_start)                 \
  X(threaded_mainloop_stop) X(threaded_mainloop_lock) X(threaded_mainloop_unlock)               \
  X(threaded_mainloop_wait) X(threaded_mainloop_signal) X(threaded_mainloop_get_api)            \
  X(context_new) X(context_unref) X(context_connect) X(context_disconnect)                      \
  X(context_get_state) X(context_errno) X(context_set_state_callback)                           \
  X(context_set_subscribe_callback) X(context_subscribe) X(context_get_server_info)             \
  X(context_get_sink_info_list) X(context_get_sink_info_by_index)                               \
  X(context_get_sink_input_info_list) X(context_get_sink_input_info) X(context_rttime_new)      \
  X(rtclock_now) X(operation_get_state) X(operation_unref) X(operation_cancel)                  \
  X(stream_new) X(stream_unref) X(stream_set_monitor_stream) X(stream_set_state_callback)       \
  X(stream_set_read_callback) X(stream_connect_record) X(stream_disconnect) X(stream_get_state) \
  X(stream_peek) X(stream_drop) X(stream_readable_size) X(proplist_gets) X(strerror)
// clang-format on

// pa().stream_peek is pa_stream_peek, and so on.
struct PulseFunctions {
#define QUENWICK_PULSE_MEMBER(name) decltype(&::pa_##name) name = nullptr;
  QUENWICK_PULSE_FUNCTIONS(QUENWICK_PULSE_MEMBER)
#undef QUENWICK_PULSE_MEMBER
};

// Opens the library and takes every function of the table, once for the process; later calls
// give the first answer. Main thread, before any other thread touches PulseAudio.
std::optional<CaptureFailure> loadPulse();

// The table, complete once loadPulse() has succeeded; any thread from then on.
const PulseFunctions& pa();

}  // namespace quenwick::pulseaudio
