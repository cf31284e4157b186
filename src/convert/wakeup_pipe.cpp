#include "convert/wakeup_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quenwick {

WakeupPipe::WakeupPipe() {
  int ends[2];
  if (pipe(ends) != 0) {
    error_ = errno;
    return;
  }
  for (const int end : ends) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
    fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  readEnd_ = ends[0];
  writeEnd_ = ends[1];
}

WakeupPipe::~WakeupPipe() {
  if (readEnd_ >= 0) close(readEnd_);
  if (writeEnd_ >= 0) close(writeEnd_);
}

void WakeupPipe::ring() const noexcept {
  if (writeEnd_ < 0) return;
  const int savedErrno = errno;  // a signal handler must leave errno as it found it
  const char byte = 0;
  while (write(writeEnd_, &byte, 1) < 0 && errno == EINTR) {
  }
  errno = savedErrno;
}

void WakeupPipe::drain() const noexcept {
  char bytes[64];
  while (readEnd_ >= 0 && read(readEnd_, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace quenwick
