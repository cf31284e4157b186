#include "capture/process_resolution.h"

namespace quenwick {
namespace {

// Asks the layer once for the process object of `pid`. A status other than "not running" is a
// pid the layer does not count as an audio process, as a zero object is.
void addProcessObject(AudioHardware& hardware, std::int32_t pid, ProcessObjects& resolved) {
  constexpr auto address = globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
  AudioObjectID object = kAudioObjectUnknown;
  std::uint32_t dataSize = sizeof object;
  const OSStatus status = hardware.getPropertyData(kAudioObjectSystemObject, address, sizeof pid,
                                                   &pid, &dataSize, &object);
  if (status == kAudioHardwareNotRunningError) resolved.unreachable = status;
  if (status != kAudioHardwareNoError || object == kAudioObjectUnknown) return;
  resolved.objects.push_back(object);
}

}  // namespace

ProcessObjects resolveProcessList(AudioHardware& hardware, const std::vector<std::int32_t>& pids) {
  ProcessObjects resolved;
  for (const std::int32_t pid : pids) {
    addProcessObject(hardware, pid, resolved);
    if (resolved.unreachable != kAudioHardwareNoError) break;
  }
  return resolved;
}

ProcessObjects resolveExclusionList(AudioHardware& hardware, std::int32_t excludeSelf,
                                    std::int32_t parentPid) {
  ProcessObjects resolved;
  if (excludeSelf != 0) addProcessObject(hardware, excludeSelf, resolved);
  if (resolved.unreachable == kAudioHardwareNoError)
    addProcessObject(hardware, parentPid, resolved);
  return resolved;
}

std::optional<std::vector<AudioObjectID>> coveredProcessObjects(AudioHardware& hardware,
                                                                const ProcessTargets& targets,
                                                                OSStatus* status) {
  constexpr auto listAddress = globalAddress(kAudioHardwarePropertyProcessObjectList);
  constexpr auto pidAddress = globalAddress(kAudioProcessPropertyPID);
  // The list's length is not known ahead: read into more room until it is not full.
  std::vector<AudioObjectID> objects(256);
  for (;;) {
    auto size = static_cast<std::uint32_t>(objects.size() * sizeof(AudioObjectID));
    const std::uint32_t room = size;
    const OSStatus listed = hardware.getPropertyData(kAudioObjectSystemObject, listAddress, 0,
                                                     nullptr, &size, objects.data());
    if (status != nullptr) *status = listed;
    if (listed != kAudioHardwareNoError) return std::nullopt;
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
