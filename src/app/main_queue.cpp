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
  timerJob_ = std::move(job);
  timerInterval_ = interval;
  timerDue_ = std::chrono::steady_clock::now() + interval;
}

bool MainQueue::run() {
  while (!stopping_) {
    if (!wakeup_.valid() || wakeup_.wait(msUntilTimer()) < 0) return false;
    wakeup_.drain();
    runRaisedAlarms();
    runPostedJobs();
    runTimerIfDue();
  }
  return true;
}

int MainQueue::msUntilTimer() const {
  if (!timerJob_) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(timerDue_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void MainQueue::runTimerIfDue() {
  if (stopping_ || !timerJob_ || std::chrono::steady_clock::now() < timerDue_) return;
  // Counted from when it was due, so that the ticks do not drift.
  timerDue_ += timerInterval_;
  if (!timerJob_()) timerJob_ = nullptr;
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
