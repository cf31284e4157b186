#include "output/pcm_output.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "output/no_wait_twin.h"
#include "system/write_all.h"

namespace quenwick {
namespace {

constexpr std::size_t kSilenceField = sizeof(std::uint64_t);
// A cycle whose PCM is larger than this (an IO cycle of seconds) is kept as time only.
constexpr std::size_t kQueueShareOfPacket = 4;
// Without a working bell the writer looks at the queue this often.
constexpr int kUnrungWaitMs = 10;

// Owed silence goes out in writes of at most this many bytes of zeros.
constexpr std::size_t kZeroChunkBytes = 8192;
const std::byte kZeros[kZeroChunkBytes] = {};

}  // namespace

PcmOutput::PcmOutput(int fd, Failure failed, std::size_t queueBytes)
    : fd_(fd),
      failed_(failed),
      twin_(std::make_unique<const NoWaitTwin>(fd)),
      queue_(queueBytes,
             static_cast<std::uint32_t>(std::bit_ceil(queueBytes) / kQueueShareOfPacket)),
      packet_(std::make_unique<std::byte[]>(queue_.maxPacketBytes())) {
  try {
    writer_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    report(error.code().value());  // nothing could write what the host cannot take at once
  }
}

PcmOutput::~PcmOutput() {
  stopping_.store(true, std::memory_order_release);
  bell_.ring();
  if (writer_.joinable()) writer_.join();
}

void PcmOutput::report(int error) noexcept {
  if (!failedOnce_.exchange(true) && failed_ != nullptr) failed_(error);
}

void PcmOutput::write(std::uint64_t silence, std::span<const std::int16_t> samples) noexcept {
  // The samples are already in stream order on the machines we run on.
  static_assert(std::endian::native == std::endian::little,
                "the PCM stream is little-endian and is written from memory as it is");
  if (failedOnce_.load(std::memory_order_relaxed)) return;
  auto bytes = std::as_bytes(samples);
  const std::size_t room = queue_.maxPacketBytes() - kSilenceField;
  if (silence == 0 && owed_ == 0 && twin_->valid() && bytes.size() <= room && queue_.empty() &&
      !writerBusy_.load(std::memory_order_acquire)) {
    if (bytes.empty()) return;
    const std::ptrdiff_t written = twin_->write(bytes);
    if (written == static_cast<std::ptrdiff_t>(bytes.size())) return;
    if (written < 0) {
      report(errno);
      return;
    }
    // The rest, which may start inside a sample, goes to the queue, which is empty: it fits.
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  owed_ += silence;
  if (bytes.empty() && owed_ == 0) return;
  if (bytes.size() <= room &&
      queue_.push(&owed_, kSilenceField, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
    owed_ = 0;
    bell_.ring();
  } else {
    owed_ += samples.size();  // lost as sound, kept as time
  }
}

bool PcmOutput::writeOut(std::span<const std::byte> bytes) {
  if (writerFailed_) return false;
  if (writeAll(fd_, bytes)) return true;
  writerFailed_ = true;
  report(errno);
  return false;
}

void PcmOutput::writeQueued() {
  for (;;) {
    // Published by each pop: the delivering thread, when it sees the queue emptied, sees this too.
    writerBusy_.store(true, std::memory_order_relaxed);
    while (const std::uint32_t size = queue_.pop(packet_.get())) {
      std::uint64_t silence = 0;
      std::memcpy(&silence, packet_.get(), kSilenceField);
      for (std::uint64_t bytes = silence * sizeof(std::int16_t); bytes > 0;) {
        const std::size_t chunk = std::min<std::uint64_t>(bytes, sizeof kZeros);
        if (!writeOut({kZeros, chunk})) break;
        bytes -= chunk;
      }
      writeOut({packet_.get() + kSilenceField, size - kSilenceField});
    }
    // Releases what was written to the delivering thread, which writes next.
    writerBusy_.store(false, std::memory_order_release);
    // A packet queued meanwhile rang the bell as well, but taking it now saves a wake-up.
    if (queue_.empty()) break;
  }
  { std::lock_guard lock(idleMutex_); }
  idle_.notify_all();
}

void PcmOutput::run() {
  // A stop that comes before the first wake-up still writes what was queued by then.
  do {
    if (bell_.wait(bell_.valid() ? -1 : kUnrungWaitMs) > 0) bell_.drain();
    writeQueued();
  } while (!stopping_.load(std::memory_order_acquire));
}

bool PcmOutput::drain(std::chrono::milliseconds patience) {
  std::unique_lock lock(idleMutex_);
  return idle_.wait_for(lock, patience, [this] {
    return queue_.empty() && !writerBusy_.load(std::memory_order_acquire);
  });
}

}  // namespace quenwick
