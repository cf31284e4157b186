#include "capture/process_resolution.h"

namespace quenwick {

std::optional<AudioObjectID> processObject(AudioHardware& hardware, std::int32_t pid) {
  constexpr auto address = globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
  AudioObjectID object = kAudioObjectUnknown;
  std::uint32_t dataSize = sizeof object;
  const OSStatus status = hardware.getPropertyData(kAudioObjectSystemObject, address, sizeof pid,
                                                   &pid, &dataSize, &object);
  if (status != kAudioHardwareNoError || object == kAudioObjectUnknown) return std::nullopt;
  return object;
}

std::vector<AudioObjectID> resolveProcessList(AudioHardware& hardware,
                                              const std::vector<std::int32_t>& pids) {
  std::vector<AudioObjectID> objects;
  for (const std::int32_t pid : pids) {
    if (const auto object = processObject(hardware, pid)) objects.push_back(*object);
  }
  return objects;
}

std::vector<AudioObjectID> resolveExclusionList(AudioHardware& hardware, std::int32_t excludeSelf,
                                                std::int32_t parentPid) {
  std::vector<AudioObjectID> objects;
  if (excludeSelf != 0) {
    if (const auto object = processObject(hardware, excludeSelf)) objects.push_back(*object);
  }
  if (const auto object = processObject(hardware, parentPid)) objects.push_back(*object);
  return objects;
}

}  // namespace quenwick
