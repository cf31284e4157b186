#include "capture/pipewire/capture_channel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quenwick::pipewire {

Doorbell::Doorbell() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Doorbell::~Doorbell() {
  if (fd_ >= 0) close(fd_);
}

void Doorbell::ring() noexcept {
  const std::uint64_t one = 1;
  // Only fails when the counter would overflow, and then the bell is ringing anyway.
  [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

void Doorbell::wait(std::chrono::milliseconds timeout) noexcept {
  pollfd entry{fd_, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(timeout.count())) > 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(fd_, &count, sizeof count);
  }
}

}  // namespace quenwick::pipewire
