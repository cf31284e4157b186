#include <time.h>

#include "system/sleep_clock.h"

namespace quenwick {

// CLOCK_UPTIME_RAW is mach_absolute_time, the host time of Core Audio's time stamps, which stops
// while the machine sleeps; CLOCK_MONOTONIC_RAW is mach_continuous_time, which does not.
std::chrono::nanoseconds timeSlept() {
  return std::chrono::nanoseconds(clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW) -
                                  clock_gettime_nsec_np(CLOCK_UPTIME_RAW));
}

// libc++'s steady clock is CLOCK_UPTIME_RAW, which stops while the machine sleeps.
std::chrono::steady_clock::time_point awakeNow() {
  return std::chrono::steady_clock::now();
}

}  // namespace quenwick
