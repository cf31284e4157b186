#include "convert/capture_callback.h"

#include <algorithm>

#include "convert/downmix.h"

namespace quenwick {

ListConverter::ListConverter(Quality quality)
    : sinc_(quality == Quality::high ? std::make_unique<SincResampler>() : nullptr) {
  mono_.reserve(8192);
}

std::span<const std::int16_t> ListConverter::operator()(const AudioBufferList* input,
                                                        const AudioStreamBasicDescription& format,
                                                        std::uint64_t generation) {
  if (!converting_ || generation != generation_) {
    generation_ = generation;
    converting_ = true;
    resampler_.reset(format.mSampleRate / outRate);
    useSinc_ = sinc_ && sinc_->reset(format.mSampleRate);
  }
  lastHeldSound_ = false;
  if (input == nullptr) return {};
  downmix(buffersOf(*input), format, mono_);
  lastHeldSound_ = std::any_of(mono_.begin(), mono_.end(), [](float v) { return v != 0.0f; });
  return useSinc_ ? sinc_->process(mono_) : resampler_.process(mono_);
}

}  // namespace quenwick
