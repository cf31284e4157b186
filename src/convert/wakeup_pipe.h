// A pipe that wakes a thread waiting in poll(2): one byte written says "look again". Ringing is
// async-signal-safe and never waits, so signal handlers and real-time threads may ring it.
#pragma once

namespace quenwick {

class WakeupPipe {
 public:
  // Both ends are non-blocking and closed on exec.
  WakeupPipe();
  ~WakeupPipe();
  WakeupPipe(const WakeupPipe&) = delete;
  WakeupPipe& operator=(const WakeupPipe&) = delete;

  bool valid() const { return readEnd_ >= 0; }
  // Why the pipe could not be made: an errno value.
  int error() const { return error_; }
  // What to poll for POLLIN; -1 when there is no pipe.
  int readEnd() const { return readEnd_; }

  // Any thread, and signal handlers: a full pipe is a wake-up already pending, so nothing is lost.
  void ring() const noexcept;
  // Takes every pending wake-up.
  void drain() const noexcept;

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
  int error_ = 0;
};

}  // namespace quenwick
