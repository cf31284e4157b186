// Declarations for the Linux syntax check of the macOS sources only; never part of a build.
// The part of <sys/sysctl.h> that reading a process's start time and parent uses.
#pragma once
#pragma clang system_header

#include <sys/time.h>
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1

#define SZOMB 5  // <sys/proc.h>, which <sys/sysctl.h> includes

struct extern_proc {
  struct timeval p_starttime;
  char p_stat;
};

struct eproc {
  pid_t e_ppid;
};

struct kinfo_proc {
  struct extern_proc kp_proc;
  struct eproc kp_eproc;
};

extern "C" int sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp, void* newp,
                      size_t newlen);
