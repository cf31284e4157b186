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
// How long a wind-up may take: a call into the audio layer that hangs must not keep the process.
constexpr std::chrono::seconds kWindUpPatience{2};
// How long run control has to end the run itself once the parent is gone.
constexpr std::chrono::seconds kParentGonePatience{1};

std::atomic<bool> ending{false};  // set once, by the first way out
std::atomic<void (*)() noexcept> parentGoneAsk{nullptr};

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

using Clock = std::chrono::steady_clock;

// When the ending process must be gone, on Clock; 0 until an ending sets it.
std::atomic<Clock::rep> exitDeadline{0};

[[noreturn]] void exitAtTheDeadline(ExitStatus status) {
  for (;;) {
    const Clock::time_point deadline{Clock::duration(exitDeadline.load())};
    if (Clock::now() >= deadline) exitWith(status);
    std::this_thread::sleep_until(deadline);
  }
}

// The process ends `patience` from now, whatever holds it up; a later call moves that moment.
void exitWithin(std::chrono::milliseconds patience, ExitStatus status) {
  const auto deadline = (Clock::now() + patience).time_since_epoch().count();
  if (exitDeadline.exchange(deadline) != 0) return;
  try {
    std::thread(exitAtTheDeadline, status).detach();
  } catch (const std::system_error&) {
    // No thread to spare: what follows goes unguarded.
  }
}

// A reader of standard error that stopped may hold the last line a second, a call into the audio
// layer that hangs the wind-up two: then the process ends as it stands. The line goes first, so
// that a wind-up that hangs does not cost the host its last word.
[[noreturn]] void end(const Ending& ending) {
  if (!ending.message.empty()) {
    exitWithin(kLastLinePatience, ending.status);
    writeLastLine({{"event", std::string("error")}, {"message", ending.message}},
                  kLastLinePatience);
  }
  if (ending.windUp) {
    exitWithin(kWindUpPatience, ending.status);
    ending.windUp();
  }
  // No destructors: audio-layer threads may still be running.
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
      if (const auto ask = parentGoneAsk.load()) {
        ask();
        std::this_thread::sleep_for(kParentGonePatience);
      }
      claimTheWayOut();
      end(Ending::parentExited());
    case Cut::hostGone:
    case Cut::stopOverdue:
      break;
  }
  // Without a claim: a host that has gone, or a stop that is overdue, outranks a line being made.
  exitWith(ExitStatus::ended);
}

void askFirstWhenParentGone(void (*ask)() noexcept) {
  parentGoneAsk.store(ask);
}

}  // namespace quenwick
