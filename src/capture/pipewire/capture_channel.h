// The way from PipeWire's real-time data thread to the capture's sink: each captured cycle goes,
// on the data thread itself, to the sink that is attached, as a list of two float planes with
// the cycle's time and its format at the graph's rate then. The sink never waits (the agent's PCM
// output deals with a slow host), so nothing of ours wakes or runs between the graph and it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "convert/captured_cycle.h"

namespace quenwick::pipewire {

// What the capture node's two input ports hold in one cycle.
struct CapturedPlanes {
  const float* left;
  const float* right;
  std::uint32_t frames;
  std::uint32_t rate;  // the graph's, during this cycle
  std::uint64_t nsec;  // the cycle's start, CLOCK_MONOTONIC nanoseconds
};

// The format of the capture node's planes at a graph rate: one plane of floats for each of two
// channels.
AudioStreamBasicDescription planarFormatAt(std::uint32_t rate);

class CaptureChannel {
 public:
  // Data thread: hands the cycle to the sink that is attached, or drops it when none is. A rate
  // other than the last cycle's starts a new generation of formats.
  void deliver(const CapturedPlanes& planes) noexcept;

  // The sink receives cycles from the next one the data thread captures; it must stay alive
  // until detached.
  void attach(CycleSink& sink) noexcept;
  // No cycle reaches the sink after this returns. Waits for a delivery under way, which never
  // waits itself; true once none is.
  bool detach(std::chrono::milliseconds timeout) noexcept;

 private:
  std::atomic<CycleSink*> sink_{nullptr};
  std::atomic<std::uint32_t> delivering_{0};  // data thread inside deliver()
  std::uint32_t rate_ = 0;                    // data thread
  std::uint64_t generation_ = 0;              // data thread
};

}  // namespace quenwick::pipewire
