#include "capture/pipewire/io_thread.h"

#include <time.h>

#include <cstring>

namespace quenwick::pipewire {
namespace {

constexpr std::uint32_t kBytesPerFrame = 2 * sizeof(float);
// Wakes now and then even without a doorbell, so a stop is never missed for long.
constexpr std::chrono::milliseconds kIdleWait{100};
constexpr std::uint32_t kSampleTimeValid = 1u << 0;
constexpr std::uint32_t kHostTimeValid = 1u << 1;

std::uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

IoThread::IoThread(CaptureChannel& channel, AudioDeviceIOBlock block)
    : channel_(channel),
      block_(std::move(block)),
      scratch_(std::make_unique<std::byte[]>(channel.ring.maxPacketBytes())) {}

IoThread::~IoThread() {
  if (thread_.joinable()) thread_.join();
}

void IoThread::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void IoThread::run() {
  AudioBufferList input{1, {{2, 0, scratch_.get()}}};
  AudioBufferList output{0, {{0, 0, nullptr}}};
  AudioTimeStamp time{};
  time.mRateScalar = 1.0;
  time.mFlags = kSampleTimeValid | kHostTimeValid;
  double sampleTime = 0.0;

  while (!stopping_.load(std::memory_order_acquire)) {
    channel_.doorbell.wait(kIdleWait);
    while (!stopping_.load(std::memory_order_acquire)) {
      const std::uint32_t bytes = channel_.ring.pop(scratch_.get());
      if (bytes == 0) break;
      input.mBuffers[0].mDataByteSize = bytes;
      time.mSampleTime = sampleTime;
      time.mHostTime = monotonicNanoseconds();
      block_(&time, &input, &time, &output, &time);
      sampleTime += static_cast<double>(bytes / kBytesPerFrame);
    }
  }

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
  stopping_.store(true, std::memory_order_release);
  channel_.doorbell.ring();
  std::unique_lock lock(finishedMutex_);
  if (!finishedSignal_.wait_for(lock, timeout, [this] { return finished_; })) {
    lock.unlock();
    thread_.detach();
    return false;
  }
  lock.unlock();
  thread_.join();
  return true;
}

}  // namespace quenwick::pipewire
