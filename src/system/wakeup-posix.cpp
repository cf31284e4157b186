#include "system/wakeup.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace quenwick {

Wakeup::Wakeup() {
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
  valid_ = true;
}

Wakeup::~Wakeup() {
  if (readEnd_ >= 0) close(readEnd_);
  if (writeEnd_ >= 0) close(writeEnd_);
}

void Wakeup::ring() const noexcept {
  if (writeEnd_ < 0) return;
  const int savedErrno = errno;  // a signal handler must leave errno as it found it
  const char byte = 0;
  while (write(writeEnd_, &byte, 1) < 0 && errno == EINTR) {
  }
  errno = savedErrno;
}

void Wakeup::drain() const noexcept {
  char bytes[64];
  while (readEnd_ >= 0 && read(readEnd_, bytes, sizeof bytes) > 0) {
  }
}

int Wakeup::wait(int timeoutMs) const noexcept {
  // poll(2) skips a negative descriptor, and so only sleeps when there is no pipe.
  pollfd entry{readEnd_, POLLIN, 0};
  const int ready = poll(&entry, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  return ready > 0 ? 1 : 0;
}

}  // namespace quenwick
