#include "app/main_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace quenwick {
namespace {

// Shared with the asynchronous signal handlers, which may only touch lock-free atomics and
// make async-signal-safe calls.
std::atomic<int> alarmWakeFd{-1};
std::atomic<bool> raisedAlarms[MainQueue::kAlarms];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void wake(int fd) noexcept {
  const char byte = 0;
  // The pipe is non-blocking: when it is full a wake-up is already pending, so a failed write
  // loses nothing.
  const int savedErrno = errno;
  while (write(fd, &byte, 1) < 0 && errno == EINTR) {
  }
  errno = savedErrno;
}

}  // namespace

MainQueue::MainQueue() {
  int fds[2];
  if (pipe(fds) == 0) {
    for (const int fd : fds) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    alarmWakeFd.store(wakeWrite_);
  }
}

MainQueue::~MainQueue() {
  alarmWakeFd.store(-1);
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

void MainQueue::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake(wakeWrite_);
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
  const int fd = alarmWakeFd.load();
  if (fd >= 0) wake(fd);
}

void MainQueue::repeat(std::chrono::milliseconds interval, std::function<bool()> job) {
  timerJob_ = std::move(job);
  timerInterval_ = interval;
  timerDue_ = std::chrono::steady_clock::now() + interval;
}

void MainQueue::run() {
  while (wakeRead_ >= 0) {
    pollfd wakeup{wakeRead_, POLLIN, 0};
    if (poll(&wakeup, 1, msUntilTimer()) < 0 && errno != EINTR) return;
    drainWakeups();
    runRaisedAlarms();
    runPostedJobs();
    runTimerIfDue();
  }
}

int MainQueue::msUntilTimer() const {
  if (!timerJob_) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(timerDue_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void MainQueue::runTimerIfDue() {
  if (!timerJob_ || std::chrono::steady_clock::now() < timerDue_) return;
  // Counted from when it was due, so that the ticks do not drift.
  timerDue_ += timerInterval_;
  if (!timerJob_()) timerJob_ = nullptr;
}

void MainQueue::drainWakeups() {
  char bytes[64];
  while (read(wakeRead_, bytes, sizeof bytes) > 0) {
  }
}

void MainQueue::runRaisedAlarms() {
  for (int alarm = 0; alarm < kAlarms; ++alarm) {
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
  for (auto& job : ready) job();
}

}  // namespace quenwick
