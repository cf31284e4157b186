#include <time.h>

#include "system/sleep_clock.h"

namespace quenwick {
namespace {

std::chrono::nanoseconds read(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

// CLOCK_MONOTONIC stops while the machine sleeps; CLOCK_BOOTTIME does not.
std::chrono::nanoseconds timeSlept() {
  return read(CLOCK_BOOTTIME) - read(CLOCK_MONOTONIC);
}

// CLOCK_MONOTONIC, which stops while the machine sleeps.
std::chrono::steady_clock::time_point awakeNow() {
  return std::chrono::steady_clock::now();
}

}  // namespace quenwick
