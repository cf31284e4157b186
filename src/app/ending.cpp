#include "app/ending.h"

#include <atomic>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "app/process_exit.h"
#include "app/status.h"

namespace quenwick {
namespace {

constexpr std::chrono::seconds kLastLinePatience{1};

std::atomic<bool> ending{false};  // set once, by the first way out

[[noreturn]] void exitWith(ExitStatus status) noexcept {
  exitProcess(static_cast<int>(status));
}

// The first way out wins; any other waits for it to end the process.
void claimTheWayOut() {
  if (ending.exchange(true)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  closeStatusLines();
}

[[noreturn]] void exitAfter(std::chrono::milliseconds delay, ExitStatus status) {
  std::this_thread::sleep_for(delay);
  exitWith(status);
}

// A process that must end by then, whatever holds it up.
void exitWithin(std::chrono::milliseconds delay, ExitStatus status) {
  try {
    std::thread(exitAfter, delay, status).detach();
  } catch (const std::system_error&) {
    // No thread to spare: what follows goes unguarded.
  }
}

[[noreturn]] void end(const Ending& ending) {
  if (ending.windUp) ending.windUp();
  if (ending.message.empty()) exitWith(ending.status);
  // Whatever happens to the line, the process ends about a second from now: a reader of standard
  // error that stopped cannot keep it.
  exitWithin(kLastLinePatience, ending.status);
  writeLastLine({{"event", std::string("error")}, {"message", ending.message}}, kLastLinePatience);
  // No destructors: audio-layer threads may still be running, and nothing is torn down here.
  exitWith(ending.status);
}

}  // namespace

void finish(Ending ending) {
  claimTheWayOut();
  end(ending);
}

void cut(Cut why) noexcept {
  switch (why) {
    case Cut::parentGone:
      claimTheWayOut();
      end({ExitStatus::ended, "parent exited", {}});
    case Cut::hostGone:
    case Cut::stopOverdue:
      break;
  }
  // Without a claim: a host that has gone, or a stop that is overdue, outranks a line being made.
  exitWith(ExitStatus::ended);
}

}  // namespace quenwick
