#include "convert/capture_callback.h"

#include "convert/downmix.h"

namespace quenwick {

ListConverter::ListConverter(const FormatHandover& handover) : handover_(handover) {
  mono_.reserve(8192);
}

std::span<const std::int16_t> ListConverter::operator()(const AudioBufferList* input) {
  PublishedFormat published;
  if (handover_.takeNewer(generation_, published)) {
    format_ = published.format;
    resampler_.reset(published.ratio);
  }
  if (generation_ == 0 || input == nullptr) return {};  // no format yet: nothing to decode
  downmix(buffersOf(*input), format_, mono_);
  return resampler_.process(mono_);
}

}  // namespace quenwick
