#include "convert/pcm_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "convert/write_all.h"

namespace quenwick {
namespace {

constexpr std::size_t kSilenceField = sizeof(std::uint64_t);
// A cycle whose PCM is larger than this (an IO cycle of seconds) is kept as time only.
constexpr std::size_t kQueueShareOfPacket = 4;
// Without a working bell the writer looks at the queue this often.
constexpr int kUnrungWaitMs = 10;

const std::byte kZeros[8192] = {};

}  // namespace

// A way to write to the host's descriptor that never waits and leaves the host's file
// description as it is: a pipe opened again with O_NONBLOCK (Linux, through /proc), or a stream
// socket written with MSG_DONTWAIT. Outputs that could make a write wait however empty they look
// (files, terminals), and pipes where the system has no such reopening, have none.
class PcmOutput::NoWaitTwin {
 public:
  explicit NoWaitTwin(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return;
    if (S_ISSOCK(status.st_mode)) {
      fd_ = fd;
      socket_ = true;
      return;
    }
#if defined(__linux__)
    // Opening the pipe again gives a file description of our own, whose O_NONBLOCK the host
    // never sees. (Elsewhere /dev/fd/N is a dup, which would share the host's flags.)
    if (!S_ISFIFO(status.st_mode)) return;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    fd_ = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    owned_ = fd_ >= 0;
#endif
  }
  ~NoWaitTwin() {
    if (owned_) close(fd_);
  }
  NoWaitTwin(const NoWaitTwin&) = delete;
  NoWaitTwin& operator=(const NoWaitTwin&) = delete;

  bool valid() const {
    return fd_ >= 0;
  }

  // Writes what the output takes now: the bytes written, or -1 with errno set (EAGAIN when it
  // takes nothing now).
  ssize_t write(std::span<const std::byte> bytes) const noexcept {
    for (;;) {
      const ssize_t written = socket_ ? send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT)
                                      : ::write(fd_, bytes.data(), bytes.size());
      if (written >= 0 || errno != EINTR) return written;
    }
  }

 private:
  int fd_ = -1;
  bool socket_ = false;
  bool owned_ = false;
};

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
    const ssize_t written = twin_->write(bytes);
    if (written == static_cast<ssize_t>(bytes.size())) return;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      report(errno);
      return;
    }
    // The rest, which may start inside a sample, goes to the queue, which is empty: it fits.
    bytes = bytes.subspan(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
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
    // Published by each pop: a delivering thread that sees the queue emptied sees this too.
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
    // Releases what was written to the delivering thread that writes next.
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
    pollfd bell{bell_.readEnd(), POLLIN, 0};
    if (poll(&bell, 1, bell_.valid() ? -1 : kUnrungWaitMs) > 0) bell_.drain();
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
