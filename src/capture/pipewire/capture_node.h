// Our capture node: a PipeWire filter (Stream/Input/Audio) with two DSP input ports, input_FL and
// input_FR, that take planar float at whatever rate the graph runs, and as many mix inputs as
// surround streams need: one for each channel position of each layout, mixed into both sides
// with its weights in the process callback. The session manager never
// connects it (only the agent's own links feed it), and it is processed every cycle, so silence
// flows while nothing plays. Being a filter rather than a stream, it has no adapter: nothing
// converts between the links' buffers and what we read.
//
// Its process callback runs on the delivering thread: it hands each cycle, with its
// time and rate, to the capture channel, which never waits, and notes the graph's rate, which the
// loop thread then announces. Every other callback runs on the loop thread with the loop lock held.
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "capture/pipewire/capture_channel.h"
#include "capture/pipewire/link_plan.h"

namespace quenwick::pipewire {

struct NegotiatedFormat {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  friend bool operator==(const NegotiatedFormat&, const NegotiatedFormat&) = default;
};

class CaptureNode {
 public:
  struct Events {
    std::function<void()> stateChanged;
    // The graph runs at a rate other than the last one (or at its first).
    std::function<void(const NegotiatedFormat&)> formatChanged;
  };

  // Loop lock held. `loop` is the loop thread's; `channel` must outlive the node.
  CaptureNode(pw_core* core, pw_loop* loop, CaptureChannel& channel, Events events);
  // Loop lock held: disconnects and destroys the filter, which removes our node.
  ~CaptureNode();
  CaptureNode(const CaptureNode&) = delete;
  CaptureNode& operator=(const CaptureNode&) = delete;

  // Loop lock held. 0, or a negative errno value.
  int connect();

  // The node's global id once the server has it; kNoObject before.
  std::uint32_t nodeId() const;
  bool failed() const { return failed_; }
  // The graph's rate as last seen, with our two channels; none until the node has seen one.
  std::optional<NegotiatedFormat> format() const { return format_; }

  // Loop lock held. Adds an input that the process callback mixes into both sides with
  // `input.weights`; false when the node has as many as it takes.
  bool addMixInput(const MixInput& input);

 private:
  static void onStateChanged(void* data, pw_filter_state old, pw_filter_state state,
                             const char* error);
  static void onIoChanged(void* data, void* port, std::uint32_t id, void* area, std::uint32_t size);
  static void onProcess(void* data, spa_io_position* position);
  static void onRateSeen(void* data, std::uint64_t count);
  // Any thread: passes a rate to the loop thread.
  void noteRate(std::uint32_t rate) noexcept;

  // The mix inputs, published to the delivering thread by their count; never removed.
  static constexpr std::size_t kMostMixInputs = 32;
  struct Mix {
    void* port = nullptr;
    MixWeights weights;
  };
  std::array<Mix, kMostMixInputs> mixes_{};
  std::atomic<std::size_t> mixCount_{0};
  // The delivering thread's sides, where the mix inputs are added to what FL and FR hold.
  std::unique_ptr<float[]> mixed_;

  pw_filter* filter_ = nullptr;
  spa_hook listener_{};
  void* ports_[2] = {nullptr, nullptr};
  pw_loop* loop_;
  spa_source* rateSeen_ = nullptr;
  CaptureChannel& channel_;
  Events events_;
  bool failed_ = false;
  std::optional<NegotiatedFormat> format_;
  std::atomic<std::uint32_t> seenRate_{0};
  std::uint32_t deliveringRate_ = 0;  // the delivering thread's own
};

}  // namespace quenwick::pipewire
