#include "capture/loopback/delivered_cycle.h"

#include "convert/sample_layout.h"

namespace quenwick::loopback {

AudioStreamBasicDescription deliveredFormat(std::uint32_t rate) {
  return describeStream(SampleLayout::f32, rate, 2);
}

void deliverCycle(CycleSink& sink, const float* frames, std::uint32_t frameCount,
                  std::uint32_t rate, std::uint64_t timeNs) noexcept {
  const auto bytes = static_cast<std::uint32_t>(frameCount * 2 * sizeof(float));
  const AudioBufferList list{1, {{2, bytes, const_cast<float*>(frames)}}};
  sink.deliver({&list, deliveredFormat(rate), 1, timeNs});
}

}  // namespace quenwick::loopback
