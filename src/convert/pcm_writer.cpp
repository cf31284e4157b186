#include "convert/pcm_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quenwick {
namespace {

thread_local NoWaitWrites* writesInScope = nullptr;

// A non-blocking way to write to `fd` that leaves its file description alone, or -1: a pipe is
// opened again through /proc, which gives a description of its own; a socket is used as it is,
// with MSG_DONTWAIT on each send.
int openTwin(int fd, bool& socket) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return -1;
  socket = S_ISSOCK(status.st_mode);
  if (socket) return fd;
  if (!S_ISFIFO(status.st_mode)) return -1;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

ssize_t writeOnce(int fd, bool socket, const std::byte* data, std::size_t size) noexcept {
  return socket ? send(fd, data, size, MSG_DONTWAIT) : ::write(fd, data, size);
}

void waitWritable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLOUT, 0};
  while (poll(&entry, 1, timeoutMs) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool writeAll(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waitWritable(fd, -1);  // the host made its end non-blocking: wait as a blocking write would
    } else if (written == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool writeWithin(int fd, std::span<const std::byte> bytes, std::chrono::milliseconds patience) {
  bool socket = false;
  const int twin = openTwin(fd, socket);
  if (twin < 0) return writeAll(fd, bytes);  // a file or terminal takes it without a reader
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!bytes.empty()) {
    const ssize_t written = writeOnce(twin, socket, bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
      continue;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (written == 0 || (errno != EAGAIN && errno != EINTR) || left.count() <= 0) break;
    waitWritable(twin, static_cast<int>(left.count()));
  }
  if (twin != fd) close(twin);
  return bytes.empty();
}

NoWaitWrites::NoWaitWrites(int fd, std::size_t spillBytes)
    : fd_(fd),
      twin_(openTwin(fd, socket_)),
      spillBytes_(spillBytes),
      spill_(std::make_unique<std::byte[]>(spillBytes)) {}

NoWaitWrites::~NoWaitWrites() {
  if (twin_ >= 0 && twin_ != fd_) close(twin_);
}

NoWaitWrites::Scope::Scope(NoWaitWrites& writes) noexcept {
  writesInScope = &writes;
}

NoWaitWrites::Scope::~Scope() {
  writesInScope = nullptr;
}

NoWaitWrites* NoWaitWrites::inScopeFor(int fd) noexcept {
  return writesInScope != nullptr && writesInScope->fd_ == fd ? writesInScope : nullptr;
}

bool NoWaitWrites::write(std::span<const std::byte> bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = writeOnce(twin_, socket_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
               bytes.size() <= spillBytes_) {
      std::memcpy(spill_.get(), bytes.data(), bytes.size());
      kept_.store(bytes.size(), std::memory_order_release);
      return true;
    } else {
      if (written == 0) errno = EIO;
      return false;
    }
  }
  return true;
}

void NoWaitWrites::flush() {
  const std::size_t kept = kept_.load(std::memory_order_acquire);
  if (kept == 0) return;
  writeAll(fd_, std::span(spill_.get(), kept));
  kept_.store(0, std::memory_order_release);
}

void PcmOutput::write(std::span<const std::int16_t> samples) noexcept {
  // The samples are already in stream order on the machines we run on.
  static_assert(std::endian::native == std::endian::little,
                "the PCM stream is little-endian and is written from memory as it is");
  if (samples.empty() || failedOnce_.load(std::memory_order_relaxed)) return;
  const auto bytes = std::as_bytes(samples);
  NoWaitWrites* noWait = NoWaitWrites::inScopeFor(fd_);
  if (noWait != nullptr ? noWait->write(bytes) : writeAll(fd_, bytes)) return;
  const int error = errno;
  if (!failedOnce_.exchange(true) && failed_ != nullptr) failed_(error);
}

}  // namespace quenwick
