// Plain writes to the host's descriptors: whole buffers that wait for a reader, and a twin of a
// descriptor through which a write never waits.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>

namespace quenwick {

// Writes all of `bytes` to `fd`, going on after partial writes and signals and waiting while a
// non-blocking descriptor is full. False when the descriptor fails for good (errno says why).
bool writeAll(int fd, std::span<const std::byte> bytes);

// A way to write to `fd` that never waits and leaves the host's file description as it is: a
// pipe opened again with O_NONBLOCK (Linux, through /proc), or a stream socket written with
// MSG_DONTWAIT. Outputs that could make a write wait however empty they look (files,
// terminals), and pipes where the system has no such reopening, have none.
class NoWaitTwin {
 public:
  explicit NoWaitTwin(int fd);
  ~NoWaitTwin();
  NoWaitTwin(const NoWaitTwin&) = delete;
  NoWaitTwin& operator=(const NoWaitTwin&) = delete;

  bool valid() const { return fd_ >= 0; }
  // Writes what the output takes now: the bytes written, or -1 with errno set (EAGAIN when it
  // takes nothing now).
  ssize_t write(std::span<const std::byte> bytes) const noexcept;

 private:
  int fd_ = -1;
  bool socket_ = false;
  bool owned_ = false;
};

}  // namespace quenwick
