// How a failure of Core Audio is worded: its status in signed decimal, and where a refused tap
// sends the user.
#pragma once

#include <optional>
#include <string>

#include "capture/coreaudio/audio_hardware.h"

namespace quenwick {

// The steps of the start whose failure the user hears of.
enum class FailedStep {
  reachLayer,
  lookUp,
  createTap,
  createDevice,
  readFormat,
  attach,
  start,
  leaveOut,
};

std::string coreAudioFailureMessage(FailedStep step, OSStatus status);

// What a tap that hears only zeros while its processes play may mean, and where to look; with the
// status of a change of the tap that Core Audio refused, if it did.
std::string coreAudioSilenceAdvice(std::optional<OSStatus> refusedChange);

}  // namespace quenwick
