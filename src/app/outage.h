// An audio server's absence, from the moment it went away to the moment capture runs again: the
// silence the PCM owes for it, and the pace of the tries to reach the server again.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quenwick {

class Outage {
 public:
  using Clock = std::chrono::steady_clock;

  // The first try comes at once; each failed one waits twice as long, up to this.
  static constexpr std::chrono::milliseconds kFirstWait{100};
  static constexpr std::chrono::milliseconds kLongestWait{2000};

  explicit Outage(Clock::time_point began) : began_(began) {}

  // The zero samples owed to the PCM for the time since the outage began, less those already
  // given: the stream's length keeps saying how long capture ran.
  std::uint64_t silenceOwed(Clock::time_point now);

  // How long to wait before the next try.
  std::chrono::milliseconds nextWait();

  // The server answered but refused a step: whether it has refused them for `limit` since it
  // first answered. A server that stops answering starts the count again when it answers.
  bool refusedFor(std::chrono::seconds limit, Clock::time_point now);
  void unanswered() { answeredSince_.reset(); }

 private:
  const Clock::time_point began_;
  std::uint64_t given_ = 0;
  std::chrono::milliseconds wait_{0};
  std::optional<Clock::time_point> answeredSince_;
};

}  // namespace quenwick
