#include "app/shutdown.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "app/ending.h"
#include "system/wakeup.h"

namespace quenwick {
namespace {

constexpr auto teardownGrace = std::chrono::seconds(2);

// Rung by the SIGTERM handler; the watchdog waits for it. Atomic (lock-free, so safe in a
// handler): SIGPIPE's handler runs on whichever thread wrote to the closed pipe.
std::atomic<Wakeup*> terminationStarted{nullptr};
std::atomic<int> terminationAlarm{-1};

void onTerminate(int) {
  terminationStarted.load()->ring();
  MainQueue::raise(terminationAlarm.load());
}

// A broken pipe means the host has gone: the run ends as on SIGTERM, quietly, and what it made
// goes; the write that met the pipe fails instead of ending the process where it stands.
void onBrokenPipe(int signo) {
  onTerminate(signo);
}

void install(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

// A stop can block while a write to a host that has stopped reading is stuck;
// the agent must still end promptly after SIGTERM, counted from the signal.
void watchTeardown() {
  while (terminationStarted.load()->wait(-1) == 0) {
  }
  std::this_thread::sleep_for(teardownGrace);
  cut(Cut::stopOverdue);
}

}  // namespace

void unblockHandledSignals() {
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
}

void installSignalHandlers(MainQueue& queue, std::function<void()> stop) {
  static Wakeup started;
  terminationStarted.store(&started);
  if (started.valid()) {
    try {
      std::thread(watchTeardown).detach();
    } catch (const std::system_error&) {
      // No watchdog to spare: the teardown goes unguarded.
    }
  }
  terminationAlarm.store(queue.addAlarm(std::move(stop)));
  install(SIGTERM, onTerminate);
  install(SIGPIPE, onBrokenPipe);
}

}  // namespace quenwick
