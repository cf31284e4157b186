// The one place where the process-loopback backend speaks the capture interface's records: the
// format it delivers in, and a mixed period handed over as a cycle.
#pragma once

#include <cstdint>

#include "capture/captured_cycle.h"

namespace quenwick::loopback {

// Interleaved 32-bit float stereo at `rate`: what every loopback client is asked for.
StreamFormat deliveredFormat(std::uint32_t rate);

// One period of `frames` interleaved stereo frames at `rate`, captured at `timeNs` on the
// performance counter's clock. The format never changes: its generation is always the first.
void deliverCycle(CycleSink& sink, const float* frames, std::uint32_t frameCount,
                  std::uint32_t rate, std::uint64_t timeNs) noexcept;

}  // namespace quenwick::loopback
