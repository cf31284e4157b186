// The capture callback: each cycle is decoded in its own format, mixed down to mono, resampled,
// placed on the stream's timeline and handed to the PCM output.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "capture/captured_cycle.h"
#include "convert/quality.h"
#include "convert/resampler.h"
#include "convert/sinc_resampler.h"
#include "convert/timeline.h"
#include "output/pcm_output.h"

namespace quenwick {

// The conversion of cycles into PCM samples, without the write.
class CycleConverter {
 public:
  // With Quality::high, every rate the band-limited resampler takes goes through it, and any
  // other rate (above 768 kHz) through the linear one.
  explicit CycleConverter(Quality quality = Quality::linear);

  // One call at a time. A generation of formats other than the last cycle's restarts the
  // resampler at this cycle. Returns the cycle's samples, valid until the next call.
  std::span<const std::int16_t> operator()(const CapturedCycle& cycle);

  // Whether the last cycle gave the host a sample that is not zero. What the host reads is what
  // counts: a graph's dither of ±1/32768 on a player's zeros reads as zeros.
  bool lastHeldSound() const { return lastHeldSound_; }

  // The next cycle starts a new stream, whatever its format's generation.
  void restart() { converting_ = false; }

 private:
  bool lastHeldSound_ = false;
  bool converting_ = false;
  std::uint64_t generation_ = 0;
  Resampler resampler_;
  std::unique_ptr<SincResampler> sinc_;  // Quality::high only
  bool useSinc_ = false;
  std::vector<float> mono_;
};

class CaptureCallback final : public CycleSink {
 public:
  explicit CaptureCallback(PcmOutput& output, Quality quality = Quality::linear)
      : convert_(quality), output_(output) {}

  // A cycle longer than the room made before the start goes through in pieces that fit it, so
  // that the delivering thread never allocates, whatever the device's largest cycle.
  void deliver(const CapturedCycle& cycle) noexcept override {
    if (cycle.frames <= kPreparedCycleFrames || cycle.planes.size() > pieceRoom_.size()) {
      return convertOne(cycle);
    }
    for (std::uint32_t start = 0; start < cycle.frames; start += kPreparedCycleFrames) {
      convertOne(pieceOf(cycle, start));
    }
  }

  // While no capture delivers (its server went away): `samples` zero samples in time. The next
  // cycle, from whatever capture comes after, starts a new stream and a new span of the timeline.
  void fillGap(std::uint64_t samples) noexcept {
    convert_.restart();
    timeline_.resume(samples);
    output_.write(samples, {});
  }

  // Any thread: how many cycles so far held a sample that is not zero.
  std::uint64_t soundCycles() const { return soundCycles_.load(std::memory_order_relaxed); }

 private:
  // The frames of `cycle` from `start` on, at most kPreparedCycleFrames of them; only the first
  // piece carries the cycle's time, the others follow it.
  CapturedCycle pieceOf(const CapturedCycle& cycle, std::uint32_t start) noexcept;

  void convertOne(const CapturedCycle& cycle) noexcept {
    const auto samples = convert_(cycle);
    if (convert_.lastHeldSound()) {
      soundCycles_.store(soundCycles_.load(std::memory_order_relaxed) + 1,
                         std::memory_order_relaxed);
    }
    const auto place = timeline_.place(cycle.timeNs, samples.size());
    output_.write(place.silence, samples.subspan(place.skip));
  }

  std::atomic<std::uint64_t> soundCycles_{0};  // written by the delivering thread only
  CycleConverter convert_;
  Timeline timeline_;
  PcmOutput& output_;
  std::array<SamplePlane, 256> pieceRoom_{};  // the delivering thread's
};

}  // namespace quenwick
