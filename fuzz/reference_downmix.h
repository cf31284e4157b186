// The downmix written the plain way, for comparison with the real one: every sample is copied
// out of its buffer byte by byte, and a read that would leave the buffer is not made.
#pragma once

#include <span>
#include <vector>

#include "convert/audio_buffers.h"

namespace quenwick::fuzz {

// The mono block of one buffer list read as `format` describes it. Interleaved: the first
// buffer's frames (its byte count over the frame size, and no more than its own samples hold),
// each the mean of its channels. Per channel: one float buffer per channel, the first setting
// the frame count; null buffers, and the part of a buffer beyond its own bytes, are silence that
// still counts. A frame size of 0 gives nothing.
std::vector<float> referenceDownmix(std::span<const AudioBuffer> buffers,
                                    const AudioStreamBasicDescription& format);

// Whether two blocks are the same, bit for bit, where any NaN equals any other.
bool sameBlock(std::span<const float> a, std::span<const float> b);

}  // namespace quenwick::fuzz
