// Wakes a thread that waits for it: a ring says "look again". Ringing is async-signal-safe and
// never waits, so signal handlers and the delivering thread may ring. A pipe with one byte per ring
// on POSIX (wakeup-posix.cpp), a manual-reset event on Windows (wakeup-win32.cpp).
#pragma once

namespace quenwick {

class Wakeup {
 public:
  // The pipe's ends are non-blocking and closed on exec.
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  bool valid() const { return valid_; }
  // Why it could not be made: an errno value.
  int error() const { return error_; }

  // Any thread, and signal handlers: a wake-up already pending takes this one in, so nothing is
  // lost.
  void ring() const noexcept;
  // Takes every pending wake-up.
  void drain() const noexcept;
  // Waits until rung or for `timeoutMs` (-1: no limit); without a valid wake-up, only for the
  // time. 1 when rung, 0 when the time passed or a signal came first, -1 when waiting failed
  // (errno says why). A ring stays pending until drained.
  int wait(int timeoutMs) const noexcept;

 private:
  bool valid_ = false;
  int error_ = 0;
  // Each platform's file uses its own.
  [[maybe_unused]] int readEnd_ = -1;  // POSIX: the pipe
  [[maybe_unused]] int writeEnd_ = -1;
  [[maybe_unused]] void* event_ = nullptr;  // Windows: the event
};

}  // namespace quenwick
