// The private aggregate device whose only input is the tap: it carries the tap into the agent.
#pragma once

#include <string>

#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// "Quenwick capture", private, with the tap as its one sub-tap (drift compensated), started at
// once rather than at the first sound. `aggregateUID` is fresh on every run.
AggregateDeviceDescription makeAggregateDescription(std::string aggregateUID,
                                                    const TapDescription& tap);

}  // namespace quenwick
