#include "app/ending.h"

#include <atomic>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "app/status.h"

namespace quenwick {
namespace {

constexpr std::chrono::seconds kLastLinePatience{1};

std::atomic<bool> ending{false};  // set once, by the first way out

// The first way out wins; any other is told so and does not run.
bool claimTheWayOut() {
  if (ending.exchange(true)) return false;
  closeStatusLines();
  return true;
}

void exitAfter(std::chrono::milliseconds delay, ExitStatus status) {
  std::this_thread::sleep_for(delay);
  endNow(status);
}

// A process that must end by then, whatever holds it up.
void exitWithin(std::chrono::milliseconds delay, ExitStatus status) {
  try {
    std::thread(exitAfter, delay, status).detach();
  } catch (const std::system_error&) {
    // No thread to spare: what follows goes unguarded.
  }
}

}  // namespace

void fail(std::string_view message, ExitStatus status) {
  if (!claimTheWayOut()) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  // Whatever happens to the line, the process ends about a second from now: a reader of standard
  // error that stopped cannot keep it.
  exitWithin(kLastLinePatience, status);
  writeLastLine({{"event", std::string("error")}, {"message", std::string(message)}},
                kLastLinePatience);
  // No destructors: audio-layer threads may still be running, and nothing is torn down here.
  endNow(status);
}

void endQuietlyAfter(const std::function<void()>& work) {
  if (!claimTheWayOut()) return;
  work();
  endNow(ExitStatus::ended);
}

}  // namespace quenwick
