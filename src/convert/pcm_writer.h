// Writing to the host: the PCM stream on standard output, signed 16-bit little-endian samples in
// one write per block, and the writes that must not wait for a host that has stopped reading.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quenwick {

// Writes all of `bytes` to `fd`, going on after partial writes and signals and waiting while a
// non-blocking descriptor is full. False when the descriptor fails for good (errno says why).
bool writeAll(int fd, std::span<const std::byte> bytes);

// The same, but waits for the reader at most `patience` in all, without touching the flags of the
// file description that `fd` shares with the host; for the last line before an exit.
bool writeWithin(int fd, std::span<const std::byte> bytes, std::chrono::milliseconds patience);

// Writes that never wait, for a thread that must not (an audio layer's real-time thread). The
// output is reached through a non-blocking twin of its descriptor, so the host's own file
// description keeps its flags: a pipe opened again through /proc, or a socket written with
// MSG_DONTWAIT. Whatever the output cannot take at once is kept, in order, until a thread that
// may wait flushes it. Outputs that could make a write wait however empty they look (files,
// terminals) have no twin.
class NoWaitWrites {
 public:
  // `spillBytes` is the most one write may need to keep.
  NoWaitWrites(int fd, std::size_t spillBytes);
  ~NoWaitWrites();
  NoWaitWrites(const NoWaitWrites&) = delete;
  NoWaitWrites& operator=(const NoWaitWrites&) = delete;

  bool valid() const { return twin_ >= 0; }
  int fd() const { return fd_; }
  std::size_t spillBytes() const { return spillBytes_; }
  // Bytes are kept that no later write may overtake. Acquires what the keeping thread did.
  bool pending() const noexcept { return kept_.load(std::memory_order_acquire) != 0; }
  // A thread that may wait: writes what was kept, then releases pending(). What cannot be
  // written is dropped; the next write reports the failure.
  void flush();

  // While a Scope lives, PCM that this thread writes to the output goes through these writes.
  class Scope {
   public:
    explicit Scope(NoWaitWrites& writes) noexcept;
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };
  // The writes in scope on this thread for `fd`, if any.
  static NoWaitWrites* inScopeFor(int fd) noexcept;

  // Writes what the output takes now and keeps the rest. False, with errno set, when the output
  // failed for good; nothing is kept then.
  bool write(std::span<const std::byte> bytes) noexcept;

 private:
  int fd_;
  int twin_ = -1;
  bool socket_ = false;
  std::size_t spillBytes_;
  std::unique_ptr<std::byte[]> spill_;
  std::atomic<std::size_t> kept_{0};
};

// The PCM stream: writes each block whole, without waiting where a NoWaitWrites is in scope, and
// reports the first failure (the host closed the pipe, the disk is full) once, through `failed`,
// which must be async-signal-safe. Blocks written after a failure are dropped.
class PcmOutput {
 public:
  using Failure = void (*)(int error) noexcept;
  PcmOutput(int fd, Failure failed) : fd_(fd), failed_(failed) {}

  int fd() const { return fd_; }
  void write(std::span<const std::int16_t> samples) noexcept;

 private:
  int fd_;
  Failure failed_;
  std::atomic<bool> failedOnce_{false};
};

}  // namespace quenwick
