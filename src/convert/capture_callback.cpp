#include "convert/capture_callback.h"

#include "convert/downmix.h"

namespace quenwick {

ListConverter::ListConverter(const FormatHandover& handover) : handover_(handover) {
  mono_.reserve(8192);
}

std::span<const std::int16_t> ListConverter::operator()(const AudioBufferList* input,
                                                        const AudioStreamBasicDescription* format) {
  // Every format published is a change taken, and restarts the conversion where it is used.
  bool restart = handover_.takeNewer(generation_, published_) && format == nullptr;
  if (format == nullptr) format = generation_ != 0 ? &published_ : nullptr;
  if (format == nullptr) return {};  // no format yet: nothing to decode
  if (restart || !converting_ || !sameForConversion(*format, format_)) {
    format_ = *format;
    converting_ = true;
    resampler_.reset(format_.mSampleRate / outRate);
  }
  if (input == nullptr) return {};
  downmix(buffersOf(*input), format_, mono_);
  return resampler_.process(mono_);
}

}  // namespace quenwick
