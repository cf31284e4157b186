#include "capture/pulseaudio/stream_ring.h"

#include <algorithm>

namespace quenwick::pulseaudio {
namespace {

std::uint64_t powerOfTwoAtLeast(std::uint32_t frames) {
  std::uint64_t size = 1;
  while (size < frames) size *= 2;
  return size;
}

}  // namespace

StreamRing::StreamRing(std::uint32_t frames)
    : mask_(powerOfTwoAtLeast(frames) - 1), frames_(new float[2 * (mask_ + 1)]) {}

std::span<float> StreamRing::room(std::uint32_t frames) noexcept {
  const std::uint64_t written = framesWritten_.load(std::memory_order_relaxed);
  const std::uint64_t free = mask_ + 1 - (written - framesRead_.load(std::memory_order_acquire));
  // A packet's frames never wrap: the reader hands them to the mixer in one piece.
  const std::uint64_t toEnd = mask_ + 1 - (written & mask_);
  const auto room = static_cast<std::size_t>(std::min<std::uint64_t>({free, toEnd, frames}));
  return {&frames_[2 * (written & mask_)], 2 * room};
}

bool StreamRing::push(const Header& header) noexcept {
  const std::uint64_t written = headersWritten_.load(std::memory_order_relaxed);
  if (written - headersRead_.load(std::memory_order_acquire) == kHeaders) return false;
  headers_[written % kHeaders] = header;
  headersWritten_.store(written + 1, std::memory_order_release);
  return true;
}

bool StreamRing::commit(std::uint32_t frames, std::uint64_t position, bool timed) noexcept {
  const std::uint64_t written = framesWritten_.load(std::memory_order_relaxed);
  if (headersWritten_.load(std::memory_order_relaxed) -
          headersRead_.load(std::memory_order_acquire) ==
      kHeaders) {
    return false;
  }
  framesWritten_.store(written + frames, std::memory_order_relaxed);
  return push({frames, position, timed, false, false});
}

bool StreamRing::hole(std::uint32_t frames, std::uint64_t position, bool timed) noexcept {
  return push({frames, position, timed, true, false});
}

bool StreamRing::end() noexcept {
  return push({0, 0, false, false, true});
}

}  // namespace quenwick::pulseaudio
