// The way from the delivering thread to the capture's sink: each captured cycle goes, on the
// delivering thread itself, to the sink that is attached, as a cycle of two float planes with
// the cycle's time and its format at the graph's rate then. The sink never waits (the agent's PCM
// output deals with a slow host), so nothing of ours wakes or runs between the graph and it.
//
// Links are made on the loop thread as soon as a target's ports show, while the agent's start-up
// still runs on its own thread: the cycles that arrive in between are kept, with their times, and
// reach the sink first, so a player that starts while the agent waits is heard from its start.
//
// When the first player's link moves the node to the sink's driver, PipeWire may run it twice for
// one stretch of time: once more for the old driver, with zeros, then for the new one with the
// player's first samples (and the old driver's time). The later run is what the graph played, so
// for a moment after each link a cycle of zeros waits for the next: one that starts before the
// zeros' middle replaces them. (Only then: a wait at other times would put the PCM of silence
// a cycle behind the clock.)
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "capture/captured_cycle.h"

namespace quenwick::pipewire {

// PipeWire's default quantum limit (default.clock.quantum-limit): the most frames a graph cycle
// holds, and so the room kept for a cycle's silence.
inline constexpr std::uint32_t kQuantumLimit = 8192;

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
StreamFormat planarFormatAt(std::uint32_t rate);

class CaptureChannel {
 public:
  // Allocates the room for the cycles kept before the sink is attached.
  CaptureChannel();

  // The delivering thread: hands the cycle to the sink that is attached, after the cycles kept for
  // it, or keeps it (see linking), or drops it. A rate other than the last cycle's starts a new
  // generation of formats.
  void deliver(const CapturedPlanes& planes) noexcept;

  // Any thread, as a link to the node is asked for: the cycles from the next one on are kept
  // while no sink is attached, the first kKeptFrames frames of them (more than a second at
  // 48 kHz), and the sink receives them first; and for kRerunWindow zeros wait for a rerun.
  void linking() noexcept;

  // The sink receives the kept cycles and then every cycle from the next one the delivering thread
  // captures; it must stay alive until detached.
  void attach(CycleSink& sink) noexcept;
  // No cycle reaches the sink after this returns, and none is kept. Waits for a delivery under
  // way, which never waits itself; true once none is.
  bool detach(std::chrono::milliseconds timeout) noexcept;

  static constexpr std::uint32_t kKeptFrames = 1 << 16;
  // How long after a link zeros wait, from the first cycle after it, by the cycles' times.
  static constexpr std::uint64_t kRerunWindowNs = 200'000'000;

 private:
  struct Kept {
    std::uint32_t offset;  // into each of the kept planes
    std::uint32_t frames;
    std::uint32_t rate;
    std::uint64_t generation;
    std::uint64_t nsec;
  };
  static constexpr std::size_t kMostKept = 256;  // cycles of 256 frames, the smallest quantum

  // A cycle of zeros, waiting for the next one.
  struct Zeros {
    std::uint32_t frames = 0;  // none waits
    std::uint32_t rate;
    std::uint64_t generation;
    std::uint64_t nsec;
  };

  void pass(const float* left, const float* right, std::uint32_t frames, std::uint32_t rate,
            std::uint64_t generation, std::uint64_t nsec) noexcept;
  void keep(const float* left, const float* right, std::uint32_t frames, std::uint32_t rate,
            std::uint64_t generation, std::uint64_t nsec) noexcept;
  void send(CycleSink& sink, const float* left, const float* right, std::uint32_t frames,
            std::uint32_t rate, std::uint64_t generation, std::uint64_t nsec) noexcept;

  std::atomic<CycleSink*> sink_{nullptr};
  std::atomic<std::uint32_t> delivering_{0};  // delivering thread inside deliver()
  std::atomic<bool> keeping_{false};
  std::atomic<std::uint32_t> links_{0};  // links asked for
  std::uint32_t linksSeen_ = 0;          // delivering thread
  std::uint64_t zerosWaitUntil_ = 0;     // delivering thread: a cycle's time
  std::uint32_t rate_ = 0;               // delivering thread
  std::uint64_t generation_ = 0;         // delivering thread
  Zeros zeros_;                          // delivering thread
  // The kept cycles, delivering thread only: the first `keptCount_` of `kept_`, their samples in
  // the two planes of `keptPlanes_`, `keptFrames_` of each used. Once one does not fit, none is
  // kept after it: the timeline puts the live cycles in their place after the gap.
  std::unique_ptr<float[]> keptPlanes_;
  std::array<Kept, kMostKept> kept_{};
  std::size_t keptCount_ = 0;
  std::uint32_t keptFrames_ = 0;
  bool keptFull_ = false;
};

}  // namespace quenwick::pipewire
