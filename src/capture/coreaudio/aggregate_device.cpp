#include "capture/coreaudio/aggregate_device.h"

namespace quenwick {

AggregateDeviceDescription makeAggregateDescription(std::string aggregateUID,
                                                    const TapDescription& tap) {
  AggregateDeviceDescription description;
  description.name = "Quenwick capture";
  description.uid = std::move(aggregateUID);
  description.isPrivate = true;
  // With auto-start, Core Audio's start waits until a tapped process plays: the main thread would
  // wait with it, and no silence would flow meanwhile.
  description.tapAutoStart = false;
  description.taps.push_back({.uid = tap.uuid, .drift = true});
  return description;
}

}  // namespace quenwick
