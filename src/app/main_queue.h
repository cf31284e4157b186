// The main queue: a run loop of our own on the main thread. It runs posted jobs and alarms
// (signals, a failed write) turned into jobs, one job at a time, so the listeners never overlap.
// Alarms are raised from signal handlers too, so they live in the process, not in the queue.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "app/run_loop.h"
#include "system/sleep_clock.h"
#include "system/wakeup.h"

namespace quenwick {

class MainQueue final : public RunLoop {
 public:
  MainQueue();
  ~MainQueue() override;
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Any thread. The job runs on the main thread once run() serves the queue.
  void post(std::function<void()> job) override;

  static constexpr int kAlarms = 4;

  // The time the machine has been awake: a timer does not take a sleep for its interval.
  Clock::time_point now() const override { return awakeNow(); }

  int addAlarm(std::function<void()> job) override;

  // Any thread, async-signal-safe and wait-free: marks the alarm as raised and wakes the loop.
  // This is all an asynchronous signal handler or the delivering thread ever does here.
  static void raise(int alarm) noexcept;
  void raiseAlarm(int alarm) noexcept override { raise(alarm); }

  void repeat(std::chrono::milliseconds interval, std::function<bool()> job) override;

  // The queue needs its wake-up; the errno value of why it could not be made (0 when made).
  int error() const override { return wakeup_.valid() ? 0 : wakeup_.error(); }

  bool run() override;
  void stop() override { stopping_ = true; }

 private:
  void runRaisedAlarms();
  void runPostedJobs();
  void runTimersDue();
  int msUntilTimer() const;

  Wakeup wakeup_;

  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_

  std::function<void()> alarmJobs_[kAlarms];

  struct Timer {
    std::function<bool()> job;
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };

  bool stopping_ = false;      // main thread
  std::vector<Timer> timers_;  // main thread
};

}  // namespace quenwick
