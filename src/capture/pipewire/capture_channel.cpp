#include "capture/pipewire/capture_channel.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <thread>
#include <utility>

namespace quenwick::pipewire {

StreamFormat planarFormatAt(std::uint32_t rate) {
  return {static_cast<double>(rate), 2, SampleType::float32, true};
}

namespace {

// What a cycle of zeros that waited is passed on as: only cycles within the limit wait.
const std::array<float, kQuantumLimit> kZeros{};

bool allZero(const CapturedPlanes& planes) {
  const auto zero = [](float sample) { return sample == 0.0f; };
  return std::all_of(planes.left, planes.left + planes.frames, zero) &&
         std::all_of(planes.right, planes.right + planes.frames, zero);
}

}  // namespace

CaptureChannel::CaptureChannel() : keptPlanes_(std::make_unique<float[]>(2 * kKeptFrames)) {}

// The sink and the count of deliveries under way form a handshake with sequentially consistent
// order: a delivery that still saw the sink is counted before detach() looks at the count.
void CaptureChannel::deliver(const CapturedPlanes& planes) noexcept {
  if (planes.rate != rate_) {
    rate_ = planes.rate;
    ++generation_;
  }
  delivering_.fetch_add(1);
  if (zeros_.frames != 0) {
    const Zeros zeros = std::exchange(zeros_, {});
    const std::uint64_t half = std::uint64_t{zeros.frames} * 500'000'000u / zeros.rate;
    if (planes.nsec >= zeros.nsec + half) {
      pass(kZeros.data(), kZeros.data(), zeros.frames, zeros.rate, zeros.generation, zeros.nsec);
    }
  }
  if (const std::uint32_t links = links_.load(); links != linksSeen_) {
    linksSeen_ = links;
    zerosWaitUntil_ = planes.nsec + kRerunWindowNs;
  }
  if (planes.nsec < zerosWaitUntil_ && planes.frames <= kQuantumLimit && allZero(planes)) {
    zeros_ = {planes.frames, planes.rate, generation_, planes.nsec};
  } else {
    pass(planes.left, planes.right, planes.frames, planes.rate, generation_, planes.nsec);
  }
  delivering_.fetch_sub(1);
}

void CaptureChannel::pass(const float* left, const float* right, std::uint32_t frames,
                          std::uint32_t rate, std::uint64_t generation,
                          std::uint64_t nsec) noexcept {
  if (CycleSink* sink = sink_.load()) {
    for (std::size_t k = 0; k < keptCount_; ++k) {
      const Kept& kept = kept_[k];
      const float* keptLeft = keptPlanes_.get() + kept.offset;
      send(*sink, keptLeft, keptLeft + kKeptFrames, kept.frames, kept.rate, kept.generation,
           kept.nsec);
    }
    keptCount_ = 0;
    keptFrames_ = 0;
    keptFull_ = false;
    send(*sink, left, right, frames, rate, generation, nsec);
  } else if (keeping_.load()) {
    keep(left, right, frames, rate, generation, nsec);
  }
}

void CaptureChannel::keep(const float* left, const float* right, std::uint32_t frames,
                          std::uint32_t rate, std::uint64_t generation,
                          std::uint64_t nsec) noexcept {
  if (keptFull_ || keptCount_ == kMostKept || frames > kKeptFrames - keptFrames_) {
    keptFull_ = true;
    return;
  }
  float* keptLeft = keptPlanes_.get() + keptFrames_;
  std::copy_n(left, frames, keptLeft);
  std::copy_n(right, frames, keptLeft + kKeptFrames);
  kept_[keptCount_++] = {keptFrames_, frames, rate, generation, nsec};
  keptFrames_ += frames;
}

void CaptureChannel::send(CycleSink& sink, const float* left, const float* right,
                          std::uint32_t frames, std::uint32_t rate, std::uint64_t generation,
                          std::uint64_t nsec) noexcept {
  const SamplePlane planes[] = {{left, frames}, {right, frames}};
  sink.deliver({planes, frames, planarFormatAt(rate), generation, nsec});
}

void CaptureChannel::linking() noexcept {
  keeping_.store(true);
  links_.fetch_add(1);
}

void CaptureChannel::attach(CycleSink& sink) noexcept {
  sink_.store(&sink);
}

bool CaptureChannel::detach(std::chrono::milliseconds timeout) noexcept {
  keeping_.store(false);
  sink_.store(nullptr);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (delivering_.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace quenwick::pipewire
