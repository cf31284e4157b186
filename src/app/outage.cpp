#include "app/outage.h"

#include <algorithm>

namespace quenwick {

std::uint64_t Outage::silenceOwed(Clock::time_point now) {
  if (now < began_) return 0;
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - began_);
  // 16000 samples a second: one every 62500 ns.
  const auto due = static_cast<std::uint64_t>(elapsed.count()) / 62'500;
  const std::uint64_t owed = due - std::min(due, given_);
  given_ = std::max(given_, due);
  return owed;
}

std::chrono::milliseconds Outage::nextWait() {
  const auto wait = wait_;
  wait_ = wait_.count() == 0 ? kFirstWait : std::min(wait_ * 2, kLongestWait);
  return wait;
}

bool Outage::refusedFor(std::chrono::seconds limit, Clock::time_point now) {
  if (!answeredSince_) answeredSince_ = now;
  return now - *answeredSince_ >= limit;
}

}  // namespace quenwick
