#include "app/shutdown.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include "app/status.h"

namespace quenwick {
namespace {

constexpr auto parentWatchInterval = std::chrono::seconds(1);
constexpr std::time_t teardownGraceSeconds = 2;

// The SIGTERM handler writes one byte here (write is async-signal-safe); the watchdog waits
// for it.
int terminationStarted[2] = {-1, -1};
int terminationAlarm = -1;

void onTerminate(int) {
  const int savedErrno = errno;
  const char byte = 0;
  [[maybe_unused]] const auto written = write(terminationStarted[1], &byte, 1);
  errno = savedErrno;
  MainQueue::raise(terminationAlarm);
}

// A broken pipe means the host has gone: leave at once, writing nothing more.
void onBrokenPipe(int) {
  _exit(0);
}

void install(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

// A stop can block while the IO thread is stuck writing to a host that has stopped reading;
// the agent must still end promptly after SIGTERM.
void watchTeardown() {
  char byte;
  while (read(terminationStarted[0], &byte, 1) < 0 && errno == EINTR) {
  }
  timespec grace{teardownGraceSeconds, 0};
  while (nanosleep(&grace, &grace) != 0 && errno == EINTR) {
  }
  _exit(0);
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
        fail("parent exited", 0);
      }
    }
  };
  try {
    std::thread(watch).detach();
  } catch (const std::system_error& error) {
    fail("could not run: " + std::string(std::strerror(error.code().value())), 2);
  }
}

void teardown(AudioHardware& hardware, const AudioObjects& objects) {
  hardware.stop(objects.aggregateID, objects.procID);
  if (objects.procID != nullptr) hardware.destroyIOProcID(objects.aggregateID, objects.procID);
  hardware.destroyAggregateDevice(objects.aggregateID);
  hardware.destroyProcessTap(objects.tapID);
}

void installSignalHandlers(MainQueue& queue, AudioHardware& hardware, const AudioObjects& objects,
                           std::function<void()> afterTeardown) {
  if (pipe(terminationStarted) == 0) {
    fcntl(terminationStarted[0], F_SETFD, FD_CLOEXEC);
    fcntl(terminationStarted[1], F_SETFD, FD_CLOEXEC);
    fcntl(terminationStarted[1], F_SETFL, O_NONBLOCK);
    std::thread(watchTeardown).detach();
  }

  terminationAlarm = queue.addAlarm([&hardware, objects, afterTeardown] {
    if (!endQuietly()) return;  // already on its way out, another way
    teardown(hardware, objects);
    afterTeardown();
    _exit(0);
  });
  install(SIGTERM, onTerminate);
  install(SIGPIPE, onBrokenPipe);
}

}  // namespace quenwick
