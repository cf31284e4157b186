#include "convert/capture_callback.h"

#include "convert/downmix.h"

namespace quenwick {

ListConverter::ListConverter() {
  mono_.reserve(8192);
}

std::span<const std::int16_t> ListConverter::operator()(const AudioBufferList* input,
                                                        const AudioStreamBasicDescription& format,
                                                        std::uint64_t generation) {
  if (!converting_ || generation != generation_) {
    generation_ = generation;
    converting_ = true;
    resampler_.reset(format.mSampleRate / outRate);
  }
  if (input == nullptr) return {};
  downmix(buffersOf(*input), format, mono_);
  return resampler_.process(mono_);
}

}  // namespace quenwick
