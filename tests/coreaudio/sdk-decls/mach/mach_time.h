// Declarations for the Linux syntax check of the macOS sources only; never part of a build.
// The part of <mach/mach_time.h> that reading the host clock's unit uses.
#pragma once
#pragma clang system_header

#include <stdint.h>

typedef int kern_return_t;

struct mach_timebase_info {
  uint32_t numer;
  uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info);
extern "C" uint64_t mach_absolute_time(void);
