// The process's end itself, for the ending's owner (ending.cpp) alone: async-signal-safe, without
// running anything more of the process. _exit(2) on POSIX (ending-posix.cpp), TerminateProcess
// on Windows (ending-win32.cpp).
#pragma once

namespace quenwick {

[[noreturn]] void exitProcess(int status) noexcept;

}  // namespace quenwick
