#include "convert/pcm_writer.h"

#include <poll.h>
#include <unistd.h>

#include <bit>
#include <cerrno>

namespace quenwick {
namespace {

// A non-blocking descriptor that is full: wait until it takes bytes again. An error or hang-up
// also ends the wait; the next write then reports it.
void waitWritable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool writeAll(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waitWritable(fd);
    } else {
      return false;  // a real error, or a descriptor that takes no bytes at all
    }
  }
  return true;
}

bool writePcm(int fd, std::span<const std::int16_t> samples) {
  // The samples are already in stream order on the machines we run on; no swap buffer needed.
  static_assert(std::endian::native == std::endian::little,
                "the PCM stream is little-endian and is written from memory as it is");
  return writeAll(fd, std::as_bytes(samples));
}

}  // namespace quenwick
