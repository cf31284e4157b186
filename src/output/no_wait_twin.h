// A way to write to the host's descriptor that never waits and leaves the host's file
// description as it is: a pipe opened again with O_NONBLOCK (Linux, through /proc), or a stream
// socket written with MSG_DONTWAIT (no_wait_twin-posix.cpp). Outputs that could make a write wait
// however empty they look (files, terminals), pipes where the system has no such reopening, and
// every output on Windows (no_wait_twin-win32.cpp) have none.
#pragma once

#include <cstddef>
#include <span>

namespace quenwick {

class NoWaitTwin {
 public:
  explicit NoWaitTwin(int fd);
  ~NoWaitTwin();
  NoWaitTwin(const NoWaitTwin&) = delete;
  NoWaitTwin& operator=(const NoWaitTwin&) = delete;

  bool valid() const { return fd_ >= 0; }

  // Writes what the output takes now: the bytes written (0 when it takes nothing now), or -1
  // when it failed for good, with errno set.
  std::ptrdiff_t write(std::span<const std::byte> bytes) const noexcept;

 private:
  int fd_ = -1;
  bool socket_ = false;
  bool owned_ = false;
};

}  // namespace quenwick
