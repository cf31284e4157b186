// The ways a running agent ends: its parent going away, SIGTERM and SIGPIPE.
#pragma once

#include <sys/types.h>

#include <functional>

#include "app/main_queue.h"

namespace quenwick {

// A host may start the agent with SIGTERM and SIGPIPE blocked; the agent could then be stopped
// by nothing but SIGKILL. First thing at start, before any thread exists.
void unblockHandledSignals();

// Checks every second, from a thread of its own, that the parent recorded at start is still
// there, and ends the agent with "parent exited" (status 0) once it is gone: the agent has
// another parent now, or no process has that id any more. Whatever the main thread is doing, a
// call into the audio layer that never returns included.
void startParentWatch(pid_t parentPid);

// From now on SIGTERM runs `teardown` on the main queue and exits 0 without a line (and exits 0
// anyway when that has not finished two seconds after the signal); SIGPIPE exits 0 at once.
void installSignalHandlers(MainQueue& queue, std::function<void()> teardown);

}  // namespace quenwick
