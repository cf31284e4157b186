// Core Audio's records read as the capture interface's: a tap's stream description as a format,
// and an IO cycle's buffer list as planes that point into its buffers.
#pragma once

#include <array>

#include "capture/captured_cycle.h"
#include "capture/coreaudio/audio_buffers.h"

namespace quenwick {

// The rate and channels a tap's description gives, and how its buffers hold them. The planar
// layout is always read as floats.
StreamFormat streamFormatOf(const AudioStreamBasicDescription& format);

// Room for the planes of one list, kept by the delivering thread so that reading a list allocates
// nothing. A list of more buffers is read as no samples: no tap delivers one.
using PlaneRoom = std::array<SamplePlane, 256>;

// The samples of `list` read in `format`, in planes written to `room`; with no generation and no
// time yet. Every plane stays inside its own buffer's mDataByteSize, whatever the format claims.
CapturedCycle cycleOfList(const AudioBufferList* list, const AudioStreamBasicDescription& format,
                          PlaneRoom& room);

}  // namespace quenwick
