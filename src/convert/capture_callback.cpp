#include "convert/capture_callback.h"

#include <algorithm>

#include "convert/downmix.h"

namespace quenwick {

CycleConverter::CycleConverter(Quality quality)
    : sinc_(quality == Quality::high ? std::make_unique<SincResampler>() : nullptr) {
  mono_.reserve(kPreparedCycleFrames);
}

std::span<const std::int16_t> CycleConverter::operator()(const CapturedCycle& cycle) {
  if (!converting_ || cycle.formatGeneration != generation_) {
    generation_ = cycle.formatGeneration;
    converting_ = true;
    resampler_.reset(cycle.format.sampleRate / outRate);
    useSinc_ = sinc_ && sinc_->reset(cycle.format.sampleRate);
  }
  lastHeldSound_ = false;
  if (cycle.planes.empty()) return {};
  downmix(cycle, mono_);
  const auto samples = useSinc_ ? sinc_->process(mono_) : resampler_.process(mono_);
  lastHeldSound_ =
      std::any_of(samples.begin(), samples.end(), [](std::int16_t v) { return v != 0; });
  return samples;
}

CapturedCycle CaptureCallback::pieceOf(const CapturedCycle& cycle, std::uint32_t start) noexcept {
  CapturedCycle piece = cycle;
  piece.frames = std::min<std::uint32_t>(cycle.frames - start, kPreparedCycleFrames);
  if (start > 0) piece.timeNs.reset();
  const std::size_t sampleBytes =
      cycle.format.planar || cycle.format.sampleType == SampleType::float32 ? 4 : 2;
  const std::size_t frameBytes = cycle.format.planar ? 4 : sampleBytes * cycle.format.channels;
  for (std::size_t i = 0; i < cycle.planes.size(); ++i) {
    const SamplePlane& plane = cycle.planes[i];
    // A plane shorter than its cycle is silent past its end.
    const std::uint32_t held = plane.frames > start ? plane.frames - start : 0;
    pieceRoom_[i] = {held > 0 && plane.data != nullptr
                         ? static_cast<const unsigned char*>(plane.data) + start * frameBytes
                         : nullptr,
                     std::min(held, piece.frames)};
  }
  piece.planes = {pieceRoom_.data(), cycle.planes.size()};
  return piece;
}

}  // namespace quenwick
