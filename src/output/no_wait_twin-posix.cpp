#include "output/no_wait_twin.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quenwick {

NoWaitTwin::NoWaitTwin(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return;
  if (S_ISSOCK(status.st_mode)) {
    fd_ = fd;
    socket_ = true;
    return;
  }
#if defined(__linux__)
  // Opening the pipe again gives a file description of our own, whose O_NONBLOCK the host
  // never sees. (Elsewhere /dev/fd/N is a dup, which would share the host's flags.)
  if (!S_ISFIFO(status.st_mode)) return;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  fd_ = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  owned_ = fd_ >= 0;
#endif
}

NoWaitTwin::~NoWaitTwin() {
  if (owned_) close(fd_);
}

std::ptrdiff_t NoWaitTwin::write(std::span<const std::byte> bytes) const noexcept {
  for (;;) {
    const ssize_t written = socket_ ? send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT)
                                    : ::write(fd_, bytes.data(), bytes.size());
    if (written >= 0) return written;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace quenwick
