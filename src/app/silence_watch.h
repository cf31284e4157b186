// Tells digital silence from sound for the host: a stretch in which every captured sample was
// exactly zero while something played, and the first sound after it. The capture side only
// counts the cycles that held sound; the main queue asks here on its timer what that means.
#pragma once

#include <chrono>
#include <cstdint>

namespace quenwick {

class SilenceWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // `stretch`: how long only zeros must be heard while something plays to count as silence.
  explicit SilenceWatch(Clock::duration stretch) : stretch_(stretch) {}

  enum class Verdict { nothing, silence, sound };

  // Main queue, at each look: `soundCycles` is the capture's count of cycles with a sample that
  // is not zero, `playing` whether any heard process plays now. A stretch counts only while
  // something plays; it is reported once, and the next sound ends it.
  Verdict look(Clock::time_point now, std::uint64_t soundCycles, bool playing);

  // Whether the run has heard a sample that is not zero.
  bool heardSound() const { return heardSound_; }

 private:
  const Clock::duration stretch_;
  std::uint64_t soundCycles_ = 0;
  bool silentSincePlaying_ = false;
  Clock::time_point silentSince_{};
  bool reported_ = false;
  bool heardSound_ = false;
};

}  // namespace quenwick
