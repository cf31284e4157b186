#include "capture/loopback/delivered_cycle.h"

#include "convert/sample_layout.h"

namespace quenwick::loopback {

StreamFormat deliveredFormat(std::uint32_t rate) {
  return describeStream(SampleLayout::f32, rate, 2);
}

void deliverCycle(CycleSink& sink, const float* frames, std::uint32_t frameCount,
                  std::uint32_t rate, std::uint64_t timeNs) noexcept {
  const SamplePlane block{frames, frameCount};
  sink.deliver({{&block, 1}, frameCount, deliveredFormat(rate), 1, timeNs});
}

}  // namespace quenwick::loopback
