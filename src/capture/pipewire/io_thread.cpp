#include "capture/pipewire/io_thread.h"

#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace quenwick::pipewire {
namespace {

constexpr std::uint32_t kBytesPerFrame = 2 * sizeof(float);
// The most frames a packet in the ring holds.
constexpr std::uint32_t kPacketFrames = CaptureChannel::kMaxPacketBytes / kBytesPerFrame;
// What the block writes for a cycle: 16 kHz mono 16-bit, one sample more for the resampler's
// carry and one for rounding.
constexpr std::uint64_t kOutputRate = 16000;
constexpr std::uint64_t kOutputBytesPerSample = 2;
constexpr std::uint32_t kSampleTimeValid = 1u << 0;
constexpr std::uint32_t kHostTimeValid = 1u << 1;

std::uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t mostOutputBytes(std::uint32_t frames, std::uint32_t rate) {
  return (std::uint64_t{frames} * kOutputRate / rate + 2) * kOutputBytesPerSample;
}

// A cycle's PCM that the data thread may have to keep when the output is full: the longest
// cycle at graph rates down to 8000 Hz.
constexpr std::size_t kSpillBytes = (std::size_t{kPacketFrames} * kOutputRate / 8000 + 2) * 2;

}  // namespace

IoThread::IoThread(CaptureChannel& channel, AudioDeviceIOBlock block, int outputFd)
    : channel_(channel),
      block_(std::move(block)),
      noWait_(outputFd, kSpillBytes),
      scratch_(std::make_unique<float[]>(channel.ring.maxPacketBytes() / sizeof(float))) {}

IoThread::~IoThread() {
  if (!thread_.joinable()) return;
  // Never stopped: stop now, waiting as long as the thread takes.
  channel_.detach(std::chrono::hours(1));
  stopping_.store(true, std::memory_order_release);
  channel_.doorbell.ring();
  thread_.join();
}

void IoThread::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
  channel_.attach(*this);
}

void IoThread::runBlock(const float* left, const float* right, std::uint32_t frames) noexcept {
  // A list of two buffers: the second record follows the first, as a list's records do. The
  // block only reads its input.
  const std::uint32_t planeBytes = frames * static_cast<std::uint32_t>(sizeof(float));
  struct {
    AudioBufferList list;
    AudioBuffer right;
  } input{{2, {{1, planeBytes, const_cast<float*>(left)}}},
          {1, planeBytes, const_cast<float*>(right)}};
  static_assert(offsetof(decltype(input), right) ==
                offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer));
  AudioBufferList output{0, {{0, 0, nullptr}}};
  AudioTimeStamp time{};
  time.mRateScalar = 1.0;
  time.mFlags = kSampleTimeValid | kHostTimeValid;
  time.mSampleTime = sampleTime_;
  time.mHostTime = monotonicNanoseconds();
  block_(&time, &input.list, &time, &output, &time);
  sampleTime_ += static_cast<double>(frames);
}

void IoThread::receive(const float* left, const float* right, std::uint32_t frames,
                       std::uint32_t rate) noexcept {
  if (frames == 0) return;
  // Kept bytes first, then the ring: once our thread has written what was kept or taken the last
  // cycle from the ring, it has already said that it holds the block.
  if (noWait_.valid() && !noWait_.pending() && channel_.ring.empty() &&
      !ringHasBlock_.load(std::memory_order_acquire) && rate != 0 &&
      mostOutputBytes(frames, rate) <= noWait_.spillBytes()) {
    {
      NoWaitWrites::Scope scope(noWait_);
      runBlock(left, right, frames);
    }
    // The output was full: our thread writes the rest, and the cycles that follow, in order.
    if (noWait_.pending()) channel_.doorbell.ring();
    return;
  }
  bool queued = false;
  for (std::uint32_t done = 0; done < frames; done += kPacketFrames) {
    const std::uint32_t planeBytes =
        std::min(kPacketFrames, frames - done) * static_cast<std::uint32_t>(sizeof(float));
    queued |= channel_.ring.push(left + done, planeBytes, right + done, planeBytes);
  }
  if (queued) channel_.doorbell.ring();
}

void IoThread::drain() {
  for (;;) {
    // Published by each pop and by the flush: a data thread that sees the ring emptied or the
    // kept bytes written by us also sees this.
    ringHasBlock_.store(true, std::memory_order_relaxed);
    noWait_.flush();
    // Everything queued goes out, also when a stop is asked: the host gets the sound the agent
    // already had (a stop waits for this only so long).
    for (;;) {
      const std::uint32_t bytes = channel_.ring.pop(scratch_.get());
      if (bytes == 0) break;
      const std::uint32_t frames = bytes / kBytesPerFrame;
      runBlock(scratch_.get(), scratch_.get() + frames, frames);
    }
    // Releases what the block did to the data thread that runs it next.
    ringHasBlock_.store(false, std::memory_order_release);
    // A cycle queued meanwhile rang the doorbell as well, but taking it now saves a wake-up.
    if (stopping_.load(std::memory_order_acquire) ||
        (channel_.ring.empty() && !noWait_.pending())) {
      return;
    }
  }
}

void IoThread::run() {
  // Only a queued cycle or a stop rings; while the host keeps up, the thread sleeps. A stop that
  // comes before the first wake-up still drains once, so what was queued by then goes out.
  do {
    channel_.doorbell.wait();
    drain();
  } while (!stopping_.load(std::memory_order_acquire));

  std::lock_guard lock(finishedMutex_);
  finished_ = true;
  finishedSignal_.notify_all();
}

bool IoThread::finished() {
  std::lock_guard lock(finishedMutex_);
  return finished_;
}

bool IoThread::stop(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const bool detached = channel_.detach(timeout);
  stopping_.store(true, std::memory_order_release);
  channel_.doorbell.ring();
  std::unique_lock lock(finishedMutex_);
  if (!detached || !finishedSignal_.wait_until(lock, deadline, [this] { return finished_; })) {
    lock.unlock();
    thread_.detach();
    return false;
  }
  lock.unlock();
  thread_.join();
  return true;
}

}  // namespace quenwick::pipewire
