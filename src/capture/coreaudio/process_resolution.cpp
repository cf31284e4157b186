#include "capture/coreaudio/process_resolution.h"

#include <algorithm>

namespace quenwick {
namespace {

// A list that grows while it is read is asked for again, with room to spare, this many times.
constexpr int kListReads = 8;
constexpr std::size_t kSpareObjects = 16;

void addOnce(std::vector<AudioObjectID>& objects, AudioObjectID object) {
  if (std::find(objects.begin(), objects.end(), object) == objects.end()) {
    objects.push_back(object);
  }
}

}  // namespace

ProcessObjects resolvePids(AudioHardware& hardware, const std::vector<std::int32_t>& pids,
                           const ProcessTargets& targets) {
  constexpr auto address = globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
  ProcessObjects resolved;
  for (std::int32_t pid : pids) {
    // A pid that another process has taken since the agent started is not the one requested.
    if (!targets.covers(pid)) continue;
    AudioObjectID object = kAudioObjectUnknown;
    std::uint32_t dataSize = sizeof object;
    const OSStatus status = hardware.getPropertyData(kAudioObjectSystemObject, address, sizeof pid,
                                                     &pid, &dataSize, &object);
    // A pid that is not an audio process translates to no object, with success; a call that
    // fails says nothing about the pid, and stops the resolution with its status.
    if (status != kAudioHardwareNoError) {
      resolved.status = status;
      break;
    }
    if (object == kAudioObjectUnknown) continue;
    addOnce(resolved.objects, object);
  }
  return resolved;
}

ProcessObjects processList(AudioHardware& hardware) {
  constexpr auto address = globalAddress(kAudioHardwarePropertyProcessObjectList);
  std::uint32_t size = 0;
  if (const OSStatus sized =
          hardware.getPropertyDataSize(kAudioObjectSystemObject, address, 0, nullptr, &size);
      sized != kAudioHardwareNoError) {
    return {{}, sized};
  }
  // Processes come and go between the size and the read. A list that no longer fits is either
  // cut to the room given or refused as too big for it, as Core Audio sees fit; either way it
  // is read again with more room. A read with room to spare is whole.
  std::vector<AudioObjectID> objects;
  OSStatus status = kAudioHardwareBadPropertySizeError;
  for (int read = 0; read < kListReads; ++read) {
    objects.resize(std::max<std::size_t>(size / sizeof(AudioObjectID), objects.size() * 2) +
                   kSpareObjects);
    const auto room = static_cast<std::uint32_t>(objects.size() * sizeof(AudioObjectID));
    std::uint32_t got = room;
    status = hardware.getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, &got,
                                      objects.data());
    if (status == kAudioHardwareBadPropertySizeError) continue;
    if (status != kAudioHardwareNoError) return {{}, status};
    if (got < room) {
      objects.resize(got / sizeof(AudioObjectID));
      return {objects, kAudioHardwareNoError};
    }
  }
  // Still growing after every read: the objects that fitted are what there is to go by.
  if (status == kAudioHardwareNoError) return {objects, status};
  return {{}, status};
}

ProcessObjects coveredProcessObjects(AudioHardware& hardware, const ProcessTargets& targets) {
  ProcessObjects listed = processList(hardware);
  if (listed.status != kAudioHardwareNoError) return listed;
  ProcessObjects covered;
  for (const AudioObjectID object : listed.objects) {
    const auto pid = pidOf(hardware, object);
    if (pid && targets.covers(*pid)) addOnce(covered.objects, object);
  }
  return covered;
}

std::optional<std::int32_t> pidOf(AudioHardware& hardware, AudioObjectID object) {
  constexpr auto address = globalAddress(kAudioProcessPropertyPID);
  std::int32_t pid = 0;
  std::uint32_t size = sizeof pid;
  if (hardware.getPropertyData(object, address, 0, nullptr, &size, &pid) != kAudioHardwareNoError) {
    return std::nullopt;
  }
  return pid;
}

}  // namespace quenwick
