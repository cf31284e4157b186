// The PulseAudio backend (Linux desktops whose sound goes through PulseAudio, as Ubuntu 22.04's
// does): each application's own streams, the sink inputs, recorded one by one from the monitor
// of the sink each plays to, and mixed on one timeline by their own timing. A sink's whole
// monitor is never recorded: it mixes in the applications left out.
//
// The delivering thread is the backend's own; PulseAudio's mainloop thread only copies each
// fragment into its stream's ring.
#pragma once

#include "capture/backend.h"

namespace quenwick {

// Serves a real PulseAudio server only: where PipeWire's pulse server answers, PipeWire's own
// backend serves.
Backend pulseAudioBackend();

}  // namespace quenwick
