#include "app/shutdown.h"

#include "app/ending.h"
#include "system/broken_pipe-win32.h"

namespace quenwick {
namespace {

// A write that finds the host gone ends the agent at once, writing nothing more.
void onBrokenPipe() noexcept {
  cut(Cut::hostGone);
}

}  // namespace

// No signal is blocked or handled: there are none to keep the agent.
void unblockHandledSignals() {}

// Windows has no SIGTERM: a host ends the agent with TerminateProcess, which ends it at once, and
// the process-loopback clients, the only thing it makes, go with the process. So there is no
// teardown to run.
void installSignalHandlers(MainQueue&, std::function<void()>) {
  setBrokenPipeAction(onBrokenPipe);
}

}  // namespace quenwick
