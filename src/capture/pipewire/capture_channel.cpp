#include "capture/pipewire/capture_channel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "capture/pipewire/io_thread.h"

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

void Doorbell::wait() noexcept {
  pollfd entry{fd_, POLLIN, 0};
  if (poll(&entry, 1, -1) > 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(fd_, &count, sizeof count);
  }
}

// The reader and the count of deliveries under way form a handshake with sequentially consistent
// order: a delivery that still saw the reader is counted before detach() looks at the count.
void CaptureChannel::deliver(const float* left, const float* right, std::uint32_t frames,
                             std::uint32_t rate) noexcept {
  delivering_.fetch_add(1);
  if (IoThread* reader = reader_.load()) reader->receive(left, right, frames, rate);
  delivering_.fetch_sub(1);
}

void CaptureChannel::attach(IoThread& reader) noexcept {
  reader_.store(&reader);
}

bool CaptureChannel::detach(std::chrono::milliseconds timeout) noexcept {
  reader_.store(nullptr);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (delivering_.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace quenwick::pipewire
