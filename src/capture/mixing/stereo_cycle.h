// The one place where a mixing backend speaks the capture interface's records: the format its
// mixer delivers in, and a mixed period handed over as a cycle.
#pragma once

#include <cstdint>

#include "capture/captured_cycle.h"

namespace quenwick {

// Interleaved 32-bit float stereo at `rate`: what every stream a mixer takes is read as.
StreamFormat stereoFormat(std::uint32_t rate);

// One period of `frames` interleaved stereo frames at `rate`, captured at `timeNs` on the
// backend's clock. The format never changes: its generation is always the first.
void deliverStereo(CycleSink& sink, const float* frames, std::uint32_t frameCount,
                   std::uint32_t rate, std::uint64_t timeNs) noexcept;

}  // namespace quenwick
