#include "app/silence_watch.h"

namespace quenwick {

SilenceWatch::Verdict SilenceWatch::look(Clock::time_point now, std::uint64_t soundCycles,
                                         bool playing) {
  const bool sound = soundCycles != soundCycles_;
  soundCycles_ = soundCycles;
  if (sound) {
    heardSound_ = true;
    silentSincePlaying_ = false;
    if (!reported_) return Verdict::nothing;
    reported_ = false;
    return Verdict::sound;
  }
  if (!playing) {
    // Nobody plays: zeros are what the host should hear, and a stretch starts again later.
    silentSincePlaying_ = false;
    return Verdict::nothing;
  }
  if (!silentSincePlaying_) {
    silentSincePlaying_ = true;
    silentSince_ = now;
  }
  if (reported_ || now - silentSince_ < stretch_) return Verdict::nothing;
  reported_ = true;
  return Verdict::silence;
}

}  // namespace quenwick
