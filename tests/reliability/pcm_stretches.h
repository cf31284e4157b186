// Whether the agent's PCM is whole samples of the sound it was given, even where some of it is
// missing: the capture is cut into stretches that each equal a reference conversion of the
// played signal from some sample on. Misplaced bytes or garbage fit no stretch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quenwick::reliability {

struct Stretches {
  std::size_t silentStart = 0;  // samples of silence before the first sound
  std::size_t count = 0;        // stretches it takes to cover the rest
  std::size_t unmatched = 0;    // samples of the rest that fit no reference
  std::size_t shortest = 0;     // samples in the shortest stretch
  std::size_t last = 0;         // samples in the last stretch
};

// `references` are conversions of the played signal (for instance from each of the frames that
// the resampler may start on); each stretch is taken as long as it goes.
Stretches coverByStretches(const std::vector<std::int16_t>& captured,
                           const std::vector<std::vector<std::int16_t>>& references);

}  // namespace quenwick::reliability
