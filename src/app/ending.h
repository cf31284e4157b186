// Every way the agent ends, in one place: the exit statuses, what each ending is, and the one way
// out that is taken when several come at once (the parent gone, SIGTERM, a failure, the host's
// closed pipe). Run control decides that the run ends and returns its Ending; the entry point
// hands it to finish(). The ways out that cannot wait for run control cut the process short
// through cut(). Nothing else ends the process.
#pragma once

#include <functional>
#include <string>
#include <utility>

namespace quenwick {

enum class ExitStatus : int {
  ended = 0,          // the parent went away, SIGTERM, SIGPIPE: the host ended it
  usageError = 1,     // the command line was refused
  failure = 2,        // the audio layer, the PCM output or the run loop failed
  nothingToHear = 3,  // no requested process is an audio process (yet)
};

// How a run ends, as a value: its status, the "error" event's message (none when empty) and
// what only the way out that wins may do before the process ends (SIGTERM's teardown).
struct Ending {
  ExitStatus status = ExitStatus::ended;
  std::string message;
  std::function<void()> windUp;

  // What happened, named by run control; the status of each is decided here.
  static Ending usageError(std::string message) {
    return {ExitStatus::usageError, std::move(message), {}};
  }
  static Ending failure(std::string message) {
    return {ExitStatus::failure, std::move(message), {}};
  }
  static Ending nothingToHear(std::string message) {
    return {ExitStatus::nothingToHear, std::move(message), {}};
  }
  // The host ended the run (SIGTERM, its end of the PCM closed): no line.
  static Ending stopped(std::function<void()> windUp = {}) {
    return {ExitStatus::ended, {}, std::move(windUp)};
  }
  // The parent watch found the parent gone, and run control heard of it in time.
  static Ending parentExited(std::function<void()> windUp = {}) {
    return {ExitStatus::ended, "parent exited", std::move(windUp)};
  }
};

// The entry point's: writes the ending's message as the "error" event, the last line, runs its
// wind-up and ends the process with its status: within about a second whatever the reader of
// standard error does, and two more should the wind-up hang. When the process is ending already,
// another way, it waits for that.
[[noreturn]] void finish(Ending ending);

// The ways out that do not wait for run control, however long a call into the audio layer takes.
enum class Cut {
  parentGone,   // the parent watch found the parent gone: "parent exited"
  hostGone,     // SIGPIPE, or on Windows a write that found the reader gone: at once, no line
  stopOverdue,  // SIGTERM's teardown has not finished in time: no line
};

// Ends the process from the thread that met `why`, with the status decided here. hostGone and
// stopOverdue are async-signal-safe; parentGone writes its line, so it is for the watch's own
// thread, and waits, as finish() does, for a way out already under way. parentGone first asks
// run control, if it gave `ask`, to end the run itself (and so remove what it made): only when
// run control has not ended it a second later does the cut happen.
[[noreturn]] void cut(Cut why) noexcept;

// `ask` is called from the parent watch's thread: it must only raise an alarm.
void askFirstWhenParentGone(void (*ask)() noexcept);

}  // namespace quenwick
