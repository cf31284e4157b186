// The watch on the process that started the agent: the agent lives only as long as its host.
// getppid(2) and kill(2) on POSIX (parent_watch-posix.cpp); on Windows a handle on the parent,
// which no later process with its pid can pass for (parent_watch-win32.cpp).
#pragma once

#include <cstdint>

namespace quenwick {

// The parent's pid, first thing at start: what the agent checks against, and what global mode
// leaves out. On Windows 0 when the parent had already gone (its pid names no process, or one
// made after the agent).
std::int32_t parentAtStart();

// Checks, from a thread of its own, that the parent recorded at start is still there, and ends
// the agent with "parent exited" (cut(Cut::parentGone)) within about a second once it is gone:
// the agent has another parent now, or no process has that id any more. Whatever the main thread
// is doing, a call into the audio layer that never returns included. Returns 0, or the errno
// value of why the watch could not start.
int startParentWatch(std::int32_t parentPid);

}  // namespace quenwick
