// The downmix of the capture callback: one cycle, read as its format describes it, becomes one
// block of mono 32-bit float samples (the plain mean over channels).
#pragma once

#include <vector>

#include "capture/captured_cycle.h"

namespace quenwick {

// Replaces the contents of `mono` with the downmixed block of the cycle's frames (empty when it
// has no planes). `mono` keeps its capacity from call to call, so in steady state this allocates
// nothing. Every read stays inside its own plane's frames.
void downmix(const CapturedCycle& cycle, std::vector<float>& mono);

}  // namespace quenwick
