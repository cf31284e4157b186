// Hands each accepted tap format from the format tracking to the delivering thread, whole and
// without locks.
//
// One writer at a time (the tracking serialises its writes); the delivering thread the only reader.
// A sequence counter brackets every write (odd while writing), and the payload lives in atomic
// words, so a reader can tell a torn copy from a whole one. The reader never waits: when it meets a
// write in progress it keeps the format it had and picks the new one up at the next buffer list.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "capture/coreaudio/audio_buffers.h"

namespace quenwick {

class FormatHandover {
 public:
  // One writer at a time. Each call makes a new generation.
  void publish(const AudioStreamBasicDescription& format);

  // The delivering thread only. When a generation newer than `generation` can be read whole, copies
  // it into `out`, updates `generation` and returns true. Otherwise returns false and touches
  // neither.
  bool takeNewer(std::uint64_t& generation, AudioStreamBasicDescription& out) const;

 private:
  static constexpr std::size_t kWords = sizeof(AudioStreamBasicDescription) / 8;
  static_assert(sizeof(AudioStreamBasicDescription) == kWords * 8,
                "published formats travel as whole words");

  std::atomic<std::uint64_t> sequence_{0};  // 2 x generation, odd while a write is under way
  std::array<std::atomic<std::uint64_t>, kWords> words_{};
};

}  // namespace quenwick
