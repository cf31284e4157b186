#include "convert/timeline.h"

#include <algorithm>

namespace quenwick {
namespace {

// One output sample lasts exactly this long.
constexpr std::int64_t kNanosecondsPerSample = 1'000'000'000 / 16000;
// Below this, a difference is jitter whatever the cycle's length: 1 ms.
constexpr std::int64_t kLeastTolerance = 16;

}  // namespace

Timeline::Place Timeline::place(std::optional<std::uint64_t> timeNs, std::uint64_t samples) {
  Place place;
  if (timeNs) {
    const std::uint64_t ns = *timeNs;
    if (!started_) {
      started_ = true;
      originNs_ = ns;
      originSample_ = length_;
    }
    // Where this cycle belongs, against where the stream has got to.
    const std::int64_t due = static_cast<std::int64_t>(originSample_) +
                             (static_cast<std::int64_t>(ns - originNs_) / kNanosecondsPerSample);
    const std::int64_t lag = due - static_cast<std::int64_t>(length_);
    const std::int64_t tolerance =
        std::max<std::int64_t>(static_cast<std::int64_t>(samples) / 4, kLeastTolerance);
    if (lag > tolerance) place.silence = static_cast<std::uint64_t>(lag);
    if (-lag > tolerance) place.skip = std::min(static_cast<std::uint64_t>(-lag), samples);
  }
  length_ += place.silence + samples - place.skip;
  return place;
}

}  // namespace quenwick
