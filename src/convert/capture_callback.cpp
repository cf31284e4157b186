#include "convert/capture_callback.h"

#include "convert/downmix.h"
#include "convert/pcm_writer.h"

namespace quenwick {

CaptureCallback::CaptureCallback(const FormatHandover& handover, int pcmFd)
    : handover_(handover), pcmFd_(pcmFd) {
  mono_.reserve(8192);
}

void CaptureCallback::operator()(const AudioBufferList* input) {
  PublishedFormat published;
  if (handover_.takeNewer(generation_, published)) {
    format_ = published.format;
    resampler_.reset(published.ratio);
  }
  if (generation_ == 0 || input == nullptr) return;  // no format yet: nothing can be decoded

  downmix(buffersOf(*input), format_, mono_);
  const auto samples = resampler_.process(mono_);
  if (!samples.empty()) writePcm(pcmFd_, samples);
}

}  // namespace quenwick
