#include "app/main_queue.h"

#include <algorithm>
#include <atomic>

namespace quenwick {
namespace {

// Shared with the asynchronous signal handlers, which may only touch lock-free atomics and
// make async-signal-safe calls.
std::atomic<const Wakeup*> alarmWakeup{nullptr};
std::atomic<bool> raisedAlarms[MainQueue::kAlarms];
static_assert(std::atomic<const Wakeup*>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

}  // namespace

MainQueue::MainQueue() {
  if (wakeup_.valid()) alarmWakeup.store(&wakeup_);
}

MainQueue::~MainQueue() {
  alarmWakeup.store(nullptr);
}

void MainQueue::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wakeup_.ring();
}

int MainQueue::addAlarm(std::function<void()> job) {
  for (int alarm = 0; alarm < kAlarms; ++alarm) {
    if (!alarmJobs_[alarm]) {
      alarmJobs_[alarm] = std::move(job);
      return alarm;
    }
  }
  return -1;
}

void MainQueue::raise(int alarm) noexcept {
  if (alarm < 0 || alarm >= kAlarms) return;
  raisedAlarms[alarm].store(true);
  if (const Wakeup* wakeup = alarmWakeup.load()) wakeup->ring();
}

void MainQueue::repeat(std::chrono::milliseconds interval, std::function<bool()> job) {
  timers_.push_back({std::move(job), interval, now() + interval});
}

bool MainQueue::run() {
  while (!stopping_) {
    if (!wakeup_.valid() || wakeup_.wait(msUntilTimer()) < 0) return false;
    wakeup_.drain();
    runRaisedAlarms();
    runPostedJobs();
    runTimersDue();
  }
  return true;
}

int MainQueue::msUntilTimer() const {
  if (timers_.empty()) return -1;
  auto due = timers_.front().due;
  for (const Timer& timer : timers_) due = std::min(due, timer.due);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void MainQueue::runTimersDue() {
  // By index: a job may add a timer.
  for (std::size_t i = 0; i < timers_.size() && !stopping_;) {
    const auto current = now();
    if (current < timers_[i].due) {
      ++i;
      continue;
    }
    // Counted from when it was due, so that the ticks do not drift; a tick missed is not made up.
    timers_[i].due = std::max(timers_[i].due + timers_[i].interval, current);
    if (timers_[i].job()) {
      ++i;
    } else {
      timers_.erase(timers_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void MainQueue::runRaisedAlarms() {
  for (int alarm = 0; alarm < kAlarms && !stopping_; ++alarm) {
    if (raisedAlarms[alarm].exchange(false) && alarmJobs_[alarm]) alarmJobs_[alarm]();
  }
}

void MainQueue::runPostedJobs() {
  // Only the jobs already posted: a job that posts another does not starve the alarms.
  std::deque<std::function<void()>> ready;
  {
    std::lock_guard lock(mutex_);
    ready.swap(jobs_);
  }
  // A job that stopped the queue is its last: the run is ending, and nothing more is said.
  for (auto& job : ready) {
    if (stopping_) return;
    job();
  }
}

}  // namespace quenwick
