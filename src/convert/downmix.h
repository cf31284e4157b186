// The downmix of the capture callback: one buffer list, read as the tap's format describes it,
// becomes one block of mono 32-bit float samples (the plain mean over channels).
#pragma once

#include <span>
#include <vector>

#include "convert/audio_buffers.h"

namespace quenwick {

// Replaces the contents of `mono` with the downmixed block (possibly empty). `mono` keeps its
// capacity from call to call, so in steady state this allocates nothing. Every read stays
// inside its own buffer's mDataByteSize.
void downmix(std::span<const AudioBuffer> buffers, const AudioStreamBasicDescription& format,
             std::vector<float>& mono);

}  // namespace quenwick
