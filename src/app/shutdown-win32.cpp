#include <windows.h>

#include <atomic>

#include "app/ending.h"
#include "app/shutdown.h"
#include "system/broken_pipe-win32.h"

namespace quenwick {
namespace {

constexpr DWORD kTeardownGraceMs = 2000;

std::atomic<int> stopAlarm{-1};

// A write that finds the host gone ends the agent at once, writing nothing more.
void onBrokenPipe() noexcept {
  cut(Cut::hostGone);
}

// CTRL+C, CTRL+BREAK, a closed console, a logoff or a shutdown: without a handler the system
// ends the agent with ExitProcess (status 0xC000013A), so they stop it as SIGTERM does elsewhere.
// The system calls this on a thread of its own, and ends the process once it returns from a
// close: it waits here for the stop, and ends the agent with status 0 if the stop is overdue.
BOOL WINAPI onConsoleControl(DWORD) {
  const int alarm = stopAlarm.load();
  if (alarm < 0) return FALSE;
  MainQueue::raise(alarm);
  Sleep(kTeardownGraceMs);
  cut(Cut::stopOverdue);
}

}  // namespace

// No signal is blocked or handled: there are none to keep the agent.
void unblockHandledSignals() {}

// Windows has no SIGTERM: a host ends the agent with TerminateProcess, which ends it at once, and
// the process-loopback clients, the only thing it makes, go with the process. Its console's
// events stop it as SIGTERM does.
void installSignalHandlers(MainQueue& queue, std::function<void()> stop) {
  setBrokenPipeAction(onBrokenPipe);
  stopAlarm.store(queue.addAlarm(std::move(stop)));
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

}  // namespace quenwick
