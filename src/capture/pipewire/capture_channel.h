// The way from PipeWire's real-time data thread to the IO proc: each captured cycle goes, on the
// data thread itself, to the IO block that is attached, as a list of two float planes with the
// cycle's time and format. The block never waits (the agent's PCM output deals with a slow
// host), so nothing of ours wakes or runs between the graph and the block.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "capture/audio_hardware.h"

namespace quenwick::pipewire {

// The tap's format at a graph rate: a plane of floats for each of two channels, as the capture
// node's ports carry them.
AudioStreamBasicDescription tapFormatAt(std::uint32_t rate);

struct CapturedCycle {
  const float* left;
  const float* right;
  std::uint32_t frames;
  std::uint32_t rate;      // the graph's, during this cycle
  std::uint64_t nsec;      // the cycle's start, CLOCK_MONOTONIC nanoseconds
  std::uint64_t position;  // the cycle's start, in the driver's frames
};

class CaptureChannel {
 public:
  // Data thread: hands the cycle to the IO block that is attached, or drops it when none is.
  void deliver(const CapturedCycle& cycle) noexcept;

  // The block receives cycles from the next one the data thread captures; it must stay alive
  // until detached.
  void attach(const AudioDeviceIOBlock& block) noexcept;
  // No cycle reaches the block after this returns. Waits for a delivery under way, which never
  // waits itself; true once none is.
  bool detach(std::chrono::milliseconds timeout) noexcept;

 private:
  std::atomic<const AudioDeviceIOBlock*> block_{nullptr};
  std::atomic<std::uint32_t> delivering_{0};  // data thread inside deliver()
};

}  // namespace quenwick::pipewire
