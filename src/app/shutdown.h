// The ways a host ends a running agent: SIGTERM and SIGPIPE on POSIX (shutdown-posix.cpp). Windows
// has neither (shutdown-win32.cpp): a host ends the agent with TerminateProcess, and a write that
// finds the reader gone ends it as SIGPIPE does elsewhere.
#pragma once

#include <functional>

#include "app/main_queue.h"

namespace quenwick {

// A host may start the agent with SIGTERM and SIGPIPE blocked; the agent could then be stopped
// by nothing but SIGKILL. First thing at start, before any thread exists.
void unblockHandledSignals();

// From now on SIGTERM runs `stop` on the main queue, which ends the run quietly (its teardown is
// the ending's wind-up), and the agent exits 0 anyway two seconds after the signal
// (Cut::stopOverdue). SIGPIPE does the same; on Windows a write to a pipe whose reader has gone
// exits 0 at once (Cut::hostGone).
void installSignalHandlers(MainQueue& queue, std::function<void()> stop);

}  // namespace quenwick
