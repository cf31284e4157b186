#include "capture/host_clock.h"

#if defined(__APPLE__)
#include <mach/mach_time.h>
#endif

namespace quenwick {

HostClock hostClock() {
#if defined(__APPLE__)
  mach_timebase_info_data_t timebase{};
  if (mach_timebase_info(&timebase) == 0 && timebase.numer != 0 && timebase.denom != 0) {
    return {timebase.numer, timebase.denom};
  }
#endif
  return {};
}

}  // namespace quenwick
