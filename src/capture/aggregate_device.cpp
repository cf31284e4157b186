#include "capture/aggregate_device.h"

namespace quenwick {

AggregateDeviceDescription makeAggregateDescription(std::string aggregateUID,
                                                    const TapDescription& tap) {
  AggregateDeviceDescription description;
  description.name = "Quenwick capture";
  description.uid = std::move(aggregateUID);
  description.isPrivate = true;
  description.tapAutoStart = true;
  description.taps.push_back({.uid = tap.uuid, .drift = true});
  return description;
}

}  // namespace quenwick
