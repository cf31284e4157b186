// The errno value that stands for a Win32 error, so that the words for a failure (strerror) and
// the test for a reader that has gone (EPIPE) are the same on every platform. Windows only.
#pragma once

#include <windows.h>

#include <cerrno>

namespace quenwick {

inline int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_BROKEN_PIPE:         // the reader closed its end
    case ERROR_NO_DATA:             // the pipe is being closed
    case ERROR_PIPE_NOT_CONNECTED:  // the reader's end is gone (what Wine says)
      return EPIPE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return ENOMEM;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    default:
      return EIO;
  }
}

}  // namespace quenwick
