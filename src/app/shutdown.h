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

// Main queue: ends the agent with "parent exited" (status 0) when the parent recorded at start is
// gone: the agent has another parent now, or no process has that id any more.
void checkParent(pid_t parentPid);

// Checks the parent on the main queue every second, the first time one second from now.
void startParentWatch(MainQueue& queue, pid_t parentPid);

// Stops the device, destroys the IO proc (when there is one), the aggregate device and the
// tap, in this order, whatever each call returns.
void teardown(AudioHardware& hardware, const AudioObjects& objects);

// From now on SIGTERM runs the teardown on the main queue, then `afterTeardown`, and exits 0
// (and exits 0 anyway when that has not finished two seconds after the signal); SIGPIPE exits 0
// at once.
void installSignalHandlers(MainQueue& queue, AudioHardware& hardware, const AudioObjects& objects,
                           std::function<void()> afterTeardown);

}  // namespace quenwick
