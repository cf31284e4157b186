// Where each captured cycle's samples go in the PCM stream: at the time the cycle was captured,
// by the host clock in nanoseconds. From the first cycle on, the stream holds one sample for
// each 1/16000 s, so a host can line it up with anything else it records by counting samples,
// across a paused graph, a move to another clock or a change of rate.
//
// A cycle that starts later than the stream reaches is preceded by silence up to its place; one
// that starts earlier (a cycle delivered twice, or on two clocks at once) loses what overlaps.
// Differences below a quarter of a cycle are a clock's jitter and are left alone. The samples
// themselves are not touched: the conversion runs on from cycle to cycle as if nothing happened.
#pragma once

#include <cstdint>
#include <optional>

namespace quenwick {

class Timeline {
 public:
  struct Place {
    std::uint64_t silence = 0;  // zero samples before the cycle's own
    std::uint64_t skip = 0;     // the cycle's own samples left out, from its start
  };

  // Places a cycle of `samples` output samples captured at `timeNs` (nothing: the cycle follows
  // the last) and counts what the stream gains. The delivering thread, one call at a time.
  Place place(std::optional<std::uint64_t> timeNs, std::uint64_t samples);

  // `samples` that the stream gained without a cycle (silence while no capture ran). The next
  // timed cycle starts the timeline anew after them: its clock may not be the last one's.
  void resume(std::uint64_t samples) {
    length_ += samples;
    started_ = false;
  }

 private:
  bool started_ = false;
  std::uint64_t originNs_ = 0;  // the host time of the stream's sample `originSample_`
  std::uint64_t originSample_ = 0;
  std::uint64_t length_ = 0;  // samples in the stream so far
};

}  // namespace quenwick
