// Whether the agent's output can take one more write at once. A host that keeps reading leaves
// its pipe or socket nearly empty, and a write into that room returns without waiting; PipeWire's
// data thread may then make the write itself, and no other thread needs waking. A file or a
// terminal is never known to have room, and neither is a pipe or socket filling up.
#pragma once

#include <cstdint>

namespace quenwick::pipewire {

class OutputRoom {
 public:
  // Looks at what `fd` is, once: a pipe, a local stream socket, or something else.
  static OutputRoom probe(int fd) noexcept;

  // Whether a write of `bytes` would complete without waiting for the reader. One ioctl.
  bool fits(std::uint32_t bytes) const noexcept;

 private:
  enum class Kind { unknown, pipe, localSocket };

  Kind kind_ = Kind::unknown;
  int fd_ = -1;
  std::uint32_t capacity_ = 0;  // the pipe's size, or the socket's send buffer
  std::uint32_t page_ = 0;      // a pipe's unit of storage
};

}  // namespace quenwick::pipewire
