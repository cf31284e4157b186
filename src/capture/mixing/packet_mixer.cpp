#include "capture/mixing/packet_mixer.h"

#include <algorithm>
#include <cstdlib>

#include "capture/mixing/stereo_cycle.h"

namespace quenwick {
namespace {

constexpr std::int64_t kUnitsPerSecond = 10'000'000;  // 100 ns units
// The drift's fixed point, and how many packets its average spans.
constexpr std::int64_t kDriftScale = 256;
constexpr std::int64_t kDriftSmoothing = 8;
// Frames of drift let be before one is taken up: within the positions' usual jitter.
constexpr std::int64_t kDeadBand = 24;

// Room for a second of frames or more: far more than a period waits.
std::int64_t ringFrames(std::uint32_t rate) {
  std::int64_t frames = 1;
  while (frames < rate) frames *= 2;
  return frames;
}

}  // namespace

PacketMixer::PacketMixer(std::size_t clients, std::uint32_t rate, std::uint32_t periodFrames)
    : rate_(rate),
      period_(std::max<std::uint32_t>(periodFrames, 1)),
      lateFrames_(static_cast<std::int64_t>(kLateness) * rate / kUnitsPerSecond),
      capacity_(ringFrames(std::max(rate, 4 * period_))),
      mask_(capacity_ - 1),
      ring_(2 * static_cast<std::size_t>(capacity_)),
      cycle_(2 * std::size_t{period_}),
      clients_(clients) {}

void PacketMixer::begin(std::uint64_t origin) noexcept {
  origin_ = origin;
}

std::int64_t PacketMixer::frameAt(std::uint64_t position) const noexcept {
  // Before the origin the difference wraps to a negative number, as it should.
  const auto units = static_cast<std::int64_t>(position - origin_);
  const std::int64_t part = units % kUnitsPerSecond;
  const std::int64_t half = part < 0 ? -kUnitsPerSecond / 2 : kUnitsPerSecond / 2;
  return units / kUnitsPerSecond * rate_ + (part * rate_ + half) / kUnitsPerSecond;
}

std::uint64_t PacketMixer::timeOf(std::int64_t frame) const noexcept {
  const auto frames = static_cast<std::uint64_t>(frame);
  return origin_ + frames / rate_ * kUnitsPerSecond + frames % rate_ * kUnitsPerSecond / rate_;
}

void PacketMixer::add(std::size_t client, const float* data, std::uint32_t frames, Timing timing,
                      std::uint64_t position) noexcept {
  Placement& placement = clients_[client];
  const std::int64_t at = frameAt(position);
  std::int64_t off = at - placement.next;
  // The first position after a guess tells how far off the guess was: the client keeps that bias
  // rather than jump.
  if (timing == Timing::timed && placement.placed && !placement.biased) {
    placement.bias = off;
    placement.biased = true;
  }
  if (timing == Timing::timed) off -= placement.bias;
  const std::int64_t jump = kJumpPeriods * std::int64_t{period_};
  const bool anew = !placement.placed || timing == Timing::restart ||
                    (timing == Timing::timed && std::abs(off) > jump) ||
                    (timing == Timing::resumed && off > jump);
  std::int64_t start = anew ? at : placement.next;
  std::int64_t from = anew ? std::max(start, placement.next) : start;
  if (anew) {
    placement.drift = 0;
    placement.biased = timing == Timing::timed || timing == Timing::restart;
    placement.bias = 0;
  } else if (timing == Timing::timed && frames > 0) {
    // The positions' jitter smoothed out; past a dead band the drift is taken up by one frame.
    placement.drift += (off * kDriftScale - placement.drift) / kDriftSmoothing;
    if (placement.drift > kDeadBand * kDriftScale) {
      placement.drift -= kDriftScale;
      ++start;  // the packet's first frame fills the frame skipped, as well as its own
      if (data != nullptr && from >= emitted_ && from < emitted_ + capacity_) {
        float* mixed = slot(from);
        mixed[0] += data[0];
        mixed[1] += data[1];
      }
      ++from;
    } else if (placement.drift < -kDeadBand * kDriftScale) {
      placement.drift += kDriftScale;
      --start;  // the packet's first frame is left out
    }
  }
  const std::int64_t end = start + frames;
  placement.placed = true;
  placement.next = std::max(placement.next, end);
  reached_ = std::max(reached_, end);
  // A silent packet's data means nothing: it only tells that its time has come.
  if (data == nullptr) return;
  from = std::max(from, emitted_);
  const std::int64_t to = std::min(end, emitted_ + capacity_);
  for (std::int64_t frame = from; frame < to; ++frame) {
    float* mixed = slot(frame);
    const float* sample = data + 2 * (frame - start);
    mixed[0] += sample[0];
    mixed[1] += sample[1];
  }
}

void PacketMixer::emitDue(std::uint64_t now, CycleSink& sink) noexcept {
  const std::int64_t nowFrame = frameAt(now);
  // A reach seen in the round before this one: every client has been drained since, of the
  // packets that came with it too.
  const std::int64_t reached = seen_;
  seen_ = reached_;
  for (;;) {
    const std::int64_t end = emitted_ + period_;
    const bool byPackets = end + period_ <= reached && end <= nowFrame;
    const bool byTime = end + lateFrames_ <= nowFrame;
    if (!byPackets && !byTime) return;
    emitPeriod(sink);
  }
}

void PacketMixer::flush(std::uint64_t now, CycleSink& sink) noexcept {
  const std::int64_t nowFrame = frameAt(now);
  const std::int64_t packets = std::min(reached_, emitted_ + capacity_);  // what the ring holds
  while (emitted_ < packets || emitted_ + period_ <= nowFrame) emitPeriod(sink);
}

void PacketMixer::emitPeriod(CycleSink& sink) noexcept {
  const std::int64_t end = emitted_ + period_;
  for (std::int64_t frame = emitted_; frame < end; ++frame) {
    float* mixed = slot(frame);
    float* out = &cycle_[2 * static_cast<std::size_t>(frame - emitted_)];
    out[0] = mixed[0];
    out[1] = mixed[1];
    mixed[0] = mixed[1] = 0.0f;
  }
  deliverStereo(sink, cycle_.data(), period_, rate_, timeOf(emitted_) * 100);
  emitted_ = end;
}

std::uint64_t PacketMixer::dueIn(std::uint64_t now) const noexcept {
  const std::uint64_t due = timeOf(emitted_ + period_ + lateFrames_);
  return due > now ? due - now : 0;
}

}  // namespace quenwick
