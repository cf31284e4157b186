// Several streams' packets, mixed into cycles of one period on one timeline: the loopback clients'
// on Windows, the sink inputs' monitor streams on PulseAudio. Each packet is added where its
// position on the backend's clock says, so the streams' sounds line up as they were played,
// whichever stream's packet came first. A client's packets follow each other by their frame
// count: the device's clock drifts against the backend's, so a position off by less than
// kJumpPeriods periods is only heard as drift, and absorbed a frame at a time, a packet's first
// frame dropped or repeated, never as a hole or an overlap. A client is placed anew only on a
// larger jump or where its stream says its data is discontinuous, and it never overlaps itself.
// A period goes out once a client's packets have passed its end by a whole
// period (so the other clients' packets of that period have come too) as seen before the last
// round of packets was taken (so every client has been drained of them since), or, while no
// packets come (a silent target sends none), once the clock has passed its end by
// kLateness: the timeline keeps going, as silence, from the start.
//
// The delivering thread's own: every call allocates nothing, and none waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/captured_cycle.h"

namespace quenwick {

class PacketMixer {
 public:
  // How long a period waits for packets before it goes out as what it has, in 100 ns units.
  static constexpr std::uint64_t kLateness = 2'000'000;

  // Room for `clients` streams' packets of interleaved float stereo at `rate`, in periods of
  // `periodFrames` frames. Positions and times are on the backend's clock, in 100 ns units.
  PacketMixer(std::size_t clients, std::uint32_t rate, std::uint32_t periodFrames);

  // The timeline starts at `origin`; what was played before it is left out.
  void begin(std::uint64_t origin) noexcept;

  // A position this many periods away from where the client's last packet ended is a jump.
  static constexpr std::int64_t kJumpPeriods = 3;

  // How far a packet's position can be trusted: a timed one's tells the drift; an untimed one's
  // (a guess, late by however long the reader was held up) only places a client not placed yet,
  // and a resumed one's (a guess after the client sent nothing for a while) one whose last packet
  // ended over kJumpPeriods before it; a restart's places the client anew.
  enum class Timing : std::uint8_t { timed, untimed, resumed, restart };

  // One packet of `client`: `frames` frames of interleaved float stereo, or none (null: a silent
  // packet, which only tells that its time has come), at `position`.
  void add(std::size_t client, const float* data, std::uint32_t frames, Timing timing,
           std::uint64_t position) noexcept;

  // The client's stream ended: its next packet, a new stream's, is placed by its own position.
  void forget(std::size_t client) noexcept { clients_[client] = {}; }

  // After each round of packets taken from every client: delivers to `sink`, in order, every
  // period that is due at `now` (100 ns units), the counter as it was when the round began.
  void emitDue(std::uint64_t now, CycleSink& sink) noexcept;

  // How long from `now` until the next period is due by time alone, in 100 ns units.
  std::uint64_t dueIn(std::uint64_t now) const noexcept;

  // The streams ended at `now`, each drained: delivers at once every period up to it, and up to
  // the furthest packet, with what they have. Nothing captured is held back, and the timeline
  // reaches the end.
  void flush(std::uint64_t now, CycleSink& sink) noexcept;

 private:
  struct Placement {
    bool placed = false;
    std::int64_t next = 0;   // the frame after the client's last packet
    std::int64_t drift = 0;  // how far its positions run ahead of `next`, smoothed, in 1/256 frame
    // Where its positions put it against where it was placed by a guess: taken at the first
    // timed packet after the guess, and then kept.
    bool biased = false;
    std::int64_t bias = 0;
  };

  std::int64_t frameAt(std::uint64_t position) const noexcept;
  std::uint64_t timeOf(std::int64_t frame) const noexcept;
  void emitPeriod(CycleSink& sink) noexcept;
  float* slot(std::int64_t frame) noexcept { return &ring_[2 * (frame & mask_)]; }

  const std::uint32_t rate_;
  const std::uint32_t period_;
  const std::int64_t lateFrames_;
  const std::int64_t capacity_;  // frames of the ring, a power of two
  const std::int64_t mask_;
  std::vector<float> ring_;   // interleaved stereo, frame f at f & mask_
  std::vector<float> cycle_;  // the period going out
  std::vector<Placement> clients_;
  std::uint64_t origin_ = 0;
  std::int64_t emitted_ = 0;  // frames delivered so far
  std::int64_t reached_ = 0;  // the furthest frame a packet reached
  std::int64_t seen_ = 0;     // reached_ at the end of the last round
};

}  // namespace quenwick
