#include "convert/capture_callback.h"

#include "convert/downmix.h"

namespace quenwick {

ListConverter::ListConverter() {
  mono_.reserve(8192);
}

std::span<const std::int16_t> ListConverter::operator()(const AudioBufferList* input,
                                                        const AudioStreamBasicDescription& format,
                                                        std::uint64_t generation) {
  if (!converting_ || generation != generation_ || !sameForConversion(format, format_)) {
    format_ = format;
    generation_ = generation;
    converting_ = true;
    resampler_.reset(format_.mSampleRate / outRate);
  }
  if (input == nullptr) return {};
  downmix(buffersOf(*input), format_, mono_);
  return resampler_.process(mono_);
}

}  // namespace quenwick
