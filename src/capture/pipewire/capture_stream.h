// Our capture node: a pw_stream (Stream/Input/Audio) that takes interleaved stereo float at
// whatever rate the graph runs, is never connected by the session manager (the tap's links feed
// it) and is processed every cycle, so silence flows while nothing plays.
//
// Its process callback runs on PipeWire's real-time data thread: it hands each buffer to the
// capture channel, which never waits. Every other callback runs on the
// loop thread with the loop lock held.
#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "capture/pipewire/capture_channel.h"

namespace quenwick::pipewire {

struct NegotiatedFormat {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  friend bool operator==(const NegotiatedFormat&, const NegotiatedFormat&) = default;
};

class CaptureStream {
 public:
  struct Events {
    std::function<void()> stateChanged;
    // A new format was negotiated (never called for the clearing that precedes one).
    std::function<void(const NegotiatedFormat&)> formatChanged;
  };

  // Loop lock held. `channel` must outlive the stream.
  CaptureStream(pw_core* core, CaptureChannel& channel, Events events);
  // Loop lock held: disconnects and destroys the stream, which removes our node.
  ~CaptureStream();
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Loop lock held. 0, or a negative errno value.
  int connect();

  // The node's global id once the server has it; kNoObject before.
  std::uint32_t nodeId() const;
  bool failed() const { return failed_; }
  // The last format negotiated, kept while a renegotiation is under way.
  std::optional<NegotiatedFormat> format() const { return format_; }

 private:
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onProcess(void* data);

  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  CaptureChannel& channel_;
  Events events_;
  bool failed_ = false;
  std::optional<NegotiatedFormat> format_;
  // Read by the data thread; a format is negotiated before buffers flow.
  std::atomic<std::uint32_t> bytesPerFrame_{0};
  std::atomic<std::uint32_t> rate_{0};
};

}  // namespace quenwick::pipewire
