// Every way the agent ends, in one place: the exit statuses, and the one way out that is taken
// when several come at once (the parent gone, SIGTERM, a failure, the host's closed pipe).
#pragma once

#include <functional>
#include <string_view>

namespace quenwick {

enum class ExitStatus : int {
  ended = 0,          // the parent went away, SIGTERM, SIGPIPE: the host ended it
  usageError = 1,     // the command line was refused
  failure = 2,        // the audio layer, the PCM output or the run loop failed
  nothingToHear = 3,  // no requested process is an audio process (yet)
};

// Writes the "error" event with `message`, as the last line, and ends the process with
// `status`, within about a second whatever the reader of standard error does. Any thread; when
// the process is ending already, another way, it waits for that.
[[noreturn]] void fail(std::string_view message, ExitStatus status);

// Runs `work` (the SIGTERM teardown), then ends the process with status 0 without a line.
// Returns at once, doing nothing, when the process is ending already, another way.
void endQuietlyAfter(const std::function<void()>& work);

// Ends the process with `status` at once, without a word and without running anything more of
// it: async-signal-safe. _exit(2) on POSIX (ending-posix.cpp), TerminateProcess on Windows
// (ending-win32.cpp).
[[noreturn]] void endNow(ExitStatus status) noexcept;

}  // namespace quenwick
