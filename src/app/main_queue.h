// The main queue: a run loop of our own on the main thread. It runs posted jobs and alarms
// (signals, a failed write) turned into jobs, one job at a time, so the listeners never overlap.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

#include "capture/dispatch_queue.h"
#include "output/wakeup.h"

namespace quenwick {

class MainQueue final : public DispatchQueue {
 public:
  MainQueue();
  ~MainQueue() override;
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Any thread. The job runs on the main thread once run() serves the queue.
  void post(std::function<void()> job) override;

  static constexpr int kAlarms = 4;

  // Main thread, before the alarm can be raised. After raise(alarm), `job` runs on the main
  // queue. Returns the alarm, or -1 when all are taken.
  int addAlarm(std::function<void()> job);

  // Any thread, async-signal-safe and wait-free: marks the alarm as raised and wakes the loop.
  // This is all an asynchronous signal handler or a real-time thread ever does here.
  static void raise(int alarm) noexcept;

  // Main thread. `job` runs on the queue every `interval` from now on, for as long as it returns
  // true. One such timer at a time; a later call replaces it.
  void repeat(std::chrono::milliseconds interval, std::function<bool()> job);

  // Whether the queue could be made (it needs its wake-up), and the errno value of why not.
  bool valid() const { return wakeup_.valid(); }
  int error() const { return wakeup_.error(); }

  // Serves the queue for as long as the process lives. Returns only when waiting fails; errno
  // says why.
  void run();

 private:
  void runRaisedAlarms();
  void runPostedJobs();
  void runTimerIfDue();
  int msUntilTimer() const;

  Wakeup wakeup_;

  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_

  std::function<void()> alarmJobs_[kAlarms];

  std::function<bool()> timerJob_;  // main thread
  std::chrono::milliseconds timerInterval_{0};
  std::chrono::steady_clock::time_point timerDue_;
};

}  // namespace quenwick
