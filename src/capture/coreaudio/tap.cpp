#include "capture/coreaudio/tap.h"

#include "capture/coreaudio/uuid.h"

namespace quenwick {

TapDescription TapDescription::stereoMixdownOfProcesses(std::vector<AudioObjectID> processes) {
  TapDescription description;
  description.kind = Kind::stereoMixdownOfProcesses;
  description.processes = std::move(processes);
  description.uuid = makeRandomUuid();
  return description;
}

TapDescription TapDescription::stereoGlobalTapButExcludeProcesses(
    std::vector<AudioObjectID> processes) {
  TapDescription description;
  description.kind = Kind::stereoGlobalTapButExcludeProcesses;
  description.processes = std::move(processes);
  description.uuid = makeRandomUuid();
  return description;
}

TapDescription makeTapDescription(bool global, std::vector<AudioObjectID> processes) {
  TapDescription description =
      global ? TapDescription::stereoGlobalTapButExcludeProcesses(std::move(processes))
             : TapDescription::stereoMixdownOfProcesses(std::move(processes));
  description.name = "Quenwick tap";
  description.isPrivate = true;
  description.muteBehavior = TapMuteBehavior::unmuted;
  return description;
}

}  // namespace quenwick
