// What run control runs on: posted jobs, alarms, repeating timers and the time they go by. The
// agent's is the main queue (main_queue.h); a test's is a fake with a clock of its own.
#pragma once

#include <chrono>
#include <functional>

#include "capture/dispatch_queue.h"

namespace quenwick {

class RunLoop : public DispatchQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // 0 when the loop can serve, else the errno value of why it cannot (it could not be made).
  virtual int error() const = 0;

  // The time the timer goes by. Main thread.
  virtual Clock::time_point now() const = 0;

  // Main thread, before the alarm can be raised. After raiseAlarm(alarm), `job` runs on the loop.
  // Returns the alarm, or -1 when none is left.
  virtual int addAlarm(std::function<void()> job) = 0;

  // Any thread, wait-free and async-signal-safe: the delivering thread may raise an alarm.
  virtual void raiseAlarm(int alarm) noexcept = 0;

  // Main thread. `job` runs on the loop every `interval` from now on, for as long as it returns
  // true. Each call adds a timer of its own.
  virtual void repeat(std::chrono::milliseconds interval, std::function<bool()> job) = 0;

  // Serves the loop until a job calls stop() (true), or until waiting fails (false; errno says
  // why).
  virtual bool run() = 0;

  // From a job: no job runs after this one, and run() returns.
  virtual void stop() = 0;
};

}  // namespace quenwick
