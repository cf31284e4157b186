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

}  // namespace quenwick
