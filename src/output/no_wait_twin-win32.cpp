#include "output/no_wait_twin.h"

#include <cerrno>

namespace quenwick {

// An anonymous pipe's handle cannot be opened again, and its no-wait mode would be the host's
// too: every cycle goes through the writer thread.
NoWaitTwin::NoWaitTwin(int) {}

NoWaitTwin::~NoWaitTwin() = default;

std::ptrdiff_t NoWaitTwin::write(std::span<const std::byte>) const noexcept {
  errno = EBADF;
  return -1;
}

}  // namespace quenwick
