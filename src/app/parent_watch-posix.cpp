#include "app/parent_watch.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "app/ending.h"

namespace quenwick {
namespace {

constexpr auto parentWatchInterval = std::chrono::seconds(1);

}  // namespace

std::int32_t parentAtStart() {
  return getppid();
}

int startParentWatch(std::int32_t parentPid) {
  const auto watch = [parentPid] {
    for (auto next = std::chrono::steady_clock::now();;) {
      // The next check counts from this one, not from its end, so the checks do not drift.
      next += parentWatchInterval;
      std::this_thread::sleep_until(next);
      // An orphan is adopted at once, so a parent id that changed means the parent is gone. A
      // probe that is refused (EPERM) found a parent that runs as another user: it is there.
      if (getppid() != parentPid || (kill(parentPid, 0) != 0 && errno == ESRCH)) {
        cut(Cut::parentGone);
      }
    }
  };
  try {
    std::thread(watch).detach();
  } catch (const std::system_error& error) {
    return error.code().value();
  }
  return 0;
}

}  // namespace quenwick
