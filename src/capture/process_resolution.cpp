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

std::optional<std::vector<AudioObjectID>> coveredProcessObjects(AudioHardware& hardware,
                                                                const ProcessTargets& targets) {
  constexpr auto listAddress = globalAddress(kAudioHardwarePropertyProcessObjectList);
  constexpr auto pidAddress = globalAddress(kAudioProcessPropertyPID);
  // The list's length is not known ahead: read into more room until it is not full.
  std::vector<AudioObjectID> objects(256);
  for (;;) {
    auto size = static_cast<std::uint32_t>(objects.size() * sizeof(AudioObjectID));
    const std::uint32_t room = size;
    if (hardware.getPropertyData(kAudioObjectSystemObject, listAddress, 0, nullptr, &size,
                                 objects.data()) != kAudioHardwareNoError) {
      return std::nullopt;
    }
    if (size < room) {
      objects.resize(size / sizeof(AudioObjectID));
      break;
    }
    objects.resize(objects.size() * 2);
  }
  std::vector<AudioObjectID> covered;
  for (const AudioObjectID object : objects) {
    std::int32_t pid = 0;
    std::uint32_t size = sizeof pid;
    if (hardware.getPropertyData(object, pidAddress, 0, nullptr, &size, &pid) ==
            kAudioHardwareNoError &&
        targets.covers(pid)) {
      covered.push_back(object);
    }
  }
  return covered;
}

}  // namespace quenwick
