// The ways a running agent ends: its parent going away, SIGTERM and SIGPIPE.
#pragma once

#include <sys/types.h>

#include <functional>

#include "app/main_queue.h"
#include "capture/audio_hardware.h"

namespace quenwick {

// What the SIGTERM teardown destroys; set before the signal handlers are installed.
struct AudioObjects {
  AudioObjectID tapID = kAudioObjectUnknown;
  AudioObjectID aggregateID = kAudioObjectUnknown;
  AudioDeviceIOProcID procID = nullptr;
};

// A host may start the agent with SIGTERM and SIGPIPE blocked; the agent could then be stopped
// by nothing but SIGKILL. First thing at start, before any thread exists.
void unblockHandledSignals();

// Checks every second, from a thread of its own, that the parent recorded at start is still
// there, and ends the agent with "parent exited" (status 0) once it is gone: the agent has
// another parent now, or no process has that id any more. Whatever the main thread is doing, a
// call into the audio layer that never returns included.
void startParentWatch(pid_t parentPid);

// Stops the device, destroys the IO proc (when there is one), the aggregate device and the
// tap, in this order, whatever each call returns.
void teardown(AudioHardware& hardware, const AudioObjects& objects);

// From now on SIGTERM runs the teardown on the main queue, then `afterTeardown`, and exits 0
// without a line (and exits 0 anyway when that has not finished two seconds after the signal);
// SIGPIPE exits 0 at once.
void installSignalHandlers(MainQueue& queue, AudioHardware& hardware, const AudioObjects& objects,
                           std::function<void()> afterTeardown);

}  // namespace quenwick
