// The PCM stream to the host: mono signed 16-bit little-endian samples, whole samples only, in
// capture order, on a descriptor that the host may read as slowly as it likes.
//
// The delivering thread (capture/capture.h) never waits here and never allocates. While the host
// keeps up, a cycle is written at once on that thread, through a twin of the descriptor that never
// waits: no other thread wakes. What the host cannot take at once goes into a bounded queue that
// the output's own writer thread writes out, in order, waiting as long as the host takes. When
// the queue is full, a cycle's sound is lost but not its time: the host later gets as many zero
// samples in its place, so that the stream's length always says how long capture ran.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "output/packet_ring.h"
#include "system/wakeup.h"

namespace quenwick {

class NoWaitTwin;

class PcmOutput {
 public:
  using Failure = void (*)(int error) noexcept;
  // About 65 s of PCM waiting for a host that stopped reading, besides what its pipe holds.
  static constexpr std::size_t kQueueBytes = std::size_t{1} << 21;

  // Starts the writer thread. `failed` hears of the output's first failure (the host closed the
  // pipe, the disk is full) once, from whichever thread met it; it must be async-signal-safe.
  // Samples after a failure are dropped.
  PcmOutput(int fd, Failure failed, std::size_t queueBytes = kQueueBytes);
  // Writes what is queued, then stops the writer thread; a host that stopped reading holds this up.
  ~PcmOutput();
  PcmOutput(const PcmOutput&) = delete;
  PcmOutput& operator=(const PcmOutput&) = delete;

  // The delivering thread, one call at a time: `silence` zero samples, then `samples`.
  void write(std::uint64_t silence, std::span<const std::int16_t> samples) noexcept;

  // Once deliveries have stopped: waits at most `patience` for the queue to be written out.
  bool drain(std::chrono::milliseconds patience);

 private:
  void report(int error) noexcept;
  void run();
  void writeQueued();
  bool writeOut(std::span<const std::byte> bytes);

  int fd_;
  Failure failed_;
  std::unique_ptr<const NoWaitTwin> twin_;
  PacketRing queue_;        // each packet: the zero samples owed before it, then PCM bytes
  std::uint64_t owed_ = 0;  // delivering thread: zero samples not queued yet
  std::atomic<bool> failedOnce_{false};
  // Set by the writer before it takes a packet, cleared once it has written the last one: the
  // delivering thread writes directly only while this is clear and the queue is empty, so it
  // never overtakes queued bytes and never writes beside the writer.
  std::atomic<bool> writerBusy_{false};
  std::atomic<bool> stopping_{false};
  Wakeup bell_;                          // wakes the writer
  std::unique_ptr<std::byte[]> packet_;  // writer thread: the packet taken
  bool writerFailed_ = false;            // writer thread
  std::mutex idleMutex_;
  std::condition_variable idle_;
  std::thread writer_;
};

}  // namespace quenwick
