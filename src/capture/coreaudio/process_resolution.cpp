#include "capture/coreaudio/process_resolution.h"

namespace quenwick {

ProcessObjects resolvePids(AudioHardware& hardware, const std::vector<std::int32_t>& pids) {
  constexpr auto address = globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
  ProcessObjects resolved;
  for (std::int32_t pid : pids) {
    AudioObjectID object = kAudioObjectUnknown;
    std::uint32_t dataSize = sizeof object;
    const OSStatus status = hardware.getPropertyData(kAudioObjectSystemObject, address, sizeof pid,
                                                     &pid, &dataSize, &object);
    // Any other status is a pid Core Audio does not count as an audio process, as a zero
    // object is; a server that is not running says nothing about the pid.
    if (status == kAudioHardwareNotRunningError) {
      resolved.status = status;
      break;
    }
    if (status != kAudioHardwareNoError || object == kAudioObjectUnknown) continue;
    resolved.objects.push_back(object);
  }
  return resolved;
}

ProcessObjects coveredProcessObjects(AudioHardware& hardware, const ProcessTargets& targets) {
  constexpr auto listAddress = globalAddress(kAudioHardwarePropertyProcessObjectList);
  constexpr auto pidAddress = globalAddress(kAudioProcessPropertyPID);
  // The list's length is not known ahead: read into more room until it is not full.
  std::vector<AudioObjectID> objects(256);
  for (;;) {
    auto size = static_cast<std::uint32_t>(objects.size() * sizeof(AudioObjectID));
    const std::uint32_t room = size;
    const OSStatus listed = hardware.getPropertyData(kAudioObjectSystemObject, listAddress, 0,
                                                     nullptr, &size, objects.data());
    if (listed != kAudioHardwareNoError) return {{}, listed};
    if (size < room) {
      objects.resize(size / sizeof(AudioObjectID));
      break;
    }
    objects.resize(objects.size() * 2);
  }
  ProcessObjects covered;
  for (const AudioObjectID object : objects) {
    std::int32_t pid = 0;
    std::uint32_t size = sizeof pid;
    if (hardware.getPropertyData(object, pidAddress, 0, nullptr, &size, &pid) ==
            kAudioHardwareNoError &&
        targets.covers(pid)) {
      covered.objects.push_back(object);
    }
  }
  return covered;
}

}  // namespace quenwick
