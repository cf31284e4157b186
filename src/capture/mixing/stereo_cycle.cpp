#include "capture/mixing/stereo_cycle.h"

#include "convert/sample_layout.h"

namespace quenwick {

StreamFormat stereoFormat(std::uint32_t rate) {
  return describeStream(SampleLayout::f32, rate, 2);
}

void deliverStereo(CycleSink& sink, const float* frames, std::uint32_t frameCount,
                   std::uint32_t rate, std::uint64_t timeNs) noexcept {
  const SamplePlane block{frames, frameCount};
  sink.deliver({{&block, 1}, frameCount, stereoFormat(rate), 1, timeNs});
}

}  // namespace quenwick
