#include "app/shutdown.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "app/ending.h"
#include "convert/wakeup_pipe.h"

namespace quenwick {
namespace {

constexpr auto parentWatchInterval = std::chrono::seconds(1);
constexpr auto teardownGrace = std::chrono::seconds(2);

// Rung by the SIGTERM handler; the watchdog waits for it.
WakeupPipe* terminationStarted = nullptr;
int terminationAlarm = -1;

void onTerminate(int) {
  terminationStarted->ring();
  MainQueue::raise(terminationAlarm);
}

// A broken pipe means the host has gone: leave at once, writing nothing more.
void onBrokenPipe(int) {
  endNow(ExitStatus::ended);
}

void install(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

// A stop can block while the IO thread is stuck writing to a host that has stopped reading;
// the agent must still end promptly after SIGTERM, counted from the signal.
void watchTeardown() {
  pollfd started{terminationStarted->readEnd(), POLLIN, 0};
  while (poll(&started, 1, -1) < 0 && errno == EINTR) {
  }
  std::this_thread::sleep_for(teardownGrace);
  endNow(ExitStatus::ended);
}

}  // namespace

void unblockHandledSignals() {
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
}

void startParentWatch(pid_t parentPid) {
  const auto watch = [parentPid] {
    for (auto next = std::chrono::steady_clock::now();;) {
      // The next check counts from this one, not from its end, so the checks do not drift.
      next += parentWatchInterval;
      std::this_thread::sleep_until(next);
      // An orphan is adopted at once, so a parent id that changed means the parent is gone. A
      // probe that is refused (EPERM) found a parent that runs as another user: it is there.
      if (getppid() != parentPid || (kill(parentPid, 0) != 0 && errno == ESRCH)) {
        fail("parent exited", ExitStatus::ended);
      }
    }
  };
  try {
    std::thread(watch).detach();
  } catch (const std::system_error& error) {
    fail("could not run: " + std::string(std::strerror(error.code().value())), ExitStatus::failure);
  }
}

void installSignalHandlers(MainQueue& queue, std::function<void()> teardown) {
  static WakeupPipe started;
  terminationStarted = &started;
  if (started.valid()) {
    try {
      std::thread(watchTeardown).detach();
    } catch (const std::system_error&) {
      // No watchdog to spare: the teardown goes unguarded.
    }
  }
  terminationAlarm = queue.addAlarm([teardown = std::move(teardown)] {
    endQuietlyAfter(teardown);  // nothing, when the agent is already on its way out another way
  });
  install(SIGTERM, onTerminate);
  install(SIGPIPE, onBrokenPipe);
}

}  // namespace quenwick
