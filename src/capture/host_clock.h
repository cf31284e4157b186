// The host clock that the audio layer's time stamps count (AudioTimeStamp::mHostTime).
#pragma once

#include "convert/timeline.h"

namespace quenwick {

// Nanoseconds of CLOCK_MONOTONIC on Linux (PipeWire's clock), mach_absolute_time ticks on macOS.
HostClock hostClock();

}  // namespace quenwick
