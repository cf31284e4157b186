// The agent as a process: run control in the process's own world (its parent, its signals, its
// standard streams, the main queue), on the backends the entry point hands it.
#pragma once

#include "app/ending.h"
#include "capture/backend.h"
#include "system/sleep_clock.h"

namespace quenwick {

// Watches the parent from the first moment, then runs the agent on `backends` (tried in their
// order) with the command line (argv[0] is the program path) until the run ends, and returns how
// it ends; the entry point hands that to finish(). What the run made lives on until then.
// `slept` tells how long the machine has slept: the system's, or a scripted layer's own.
Ending runAgent(int argc, char** argv, const Backends& backends, SleepClock slept = timeSlept);

}  // namespace quenwick
