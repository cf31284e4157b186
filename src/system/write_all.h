// Whole writes to a descriptor that may be a pipe, a socket, a file or a terminal, blocking or not.
// write(2) on POSIX (write_all-posix.cpp); on Windows WriteFile on the descriptor's handle, never
// through the C runtime's text mode (write_all-win32.cpp).
#pragma once

#include <cstddef>
#include <span>

namespace quenwick {

// Writes all of `bytes` to `fd`, going on after partial writes and signals and waiting while a
// non-blocking descriptor is full. False when the descriptor fails for good (errno says why: EPIPE
// when the reader has gone, on Windows too).
bool writeAll(int fd, std::span<const std::byte> bytes);

}  // namespace quenwick
