#include "capture/coreaudio/core_audio_words.h"

namespace quenwick {
namespace {

// Core Audio's answer to a malformed argument (paramErr): the status of a refused tap that hosts
// have long read with its pointer to the privacy setting.
constexpr OSStatus kParameterError = -50;

std::string withStatus(std::string_view prefix, OSStatus status, std::string_view suffix) {
  return std::string(prefix) + std::to_string(status) + std::string(suffix);
}

}  // namespace

std::string coreAudioFailureMessage(FailedStep step, OSStatus status) {
  switch (step) {
    case FailedStep::reachLayer:
      return withStatus("could not reach the audio server (", status, ")");
    case FailedStep::lookUp:
      return withStatus("could not look up the audio processes (", status, ")");
    case FailedStep::createTap:
      // A refused permission gives a tap that hears zeros, not a failed one: only the status
      // hosts know keeps its pointer to the setting.
      if (status != kParameterError)
        return withStatus("could not create the audio tap (", status, ")");
      return withStatus("could not create the audio tap (", status,
                        "). Check System Settings > Privacy & Security > Screen & System Audio "
                        "Recording.");
    case FailedStep::createDevice:
      return withStatus("could not create the capture device (", status, ")");
    case FailedStep::readFormat:
      return "could not read the tap format";
    case FailedStep::attach:
      // Success without an IO proc captures nothing either.
      return withStatus("could not attach to the capture device (", status,
                        status == kAudioHardwareNoError ? "): Core Audio made no IO proc" : ")");
    case FailedStep::start:
      return withStatus("could not start capture (", status, ")");
    case FailedStep::leaveOut:
      return withStatus("could not leave out the host's processes (", status, ")");
  }
  return withStatus("the audio layer failed (", status, ")");
}

std::string coreAudioSilenceAdvice(std::optional<OSStatus> refusedChange) {
  // macOS makes and runs a tap that it may not let hear anything: a refused permission gives
  // zeros, not an error. So may a call in which nobody speaks.
  std::string advice =
      "only zeros were heard while the processes played. That may be true silence, or macOS "
      "withholding the permission to record other apps' audio from the app that started the "
      "agent: see System Settings > Privacy & Security > Screen & System Audio Recording (on "
      "macOS 15 its \"System Audio Recording Only\" list). The app is listed there only if its "
      "Info.plist declares NSAudioCaptureUsageDescription; after an earlier denial, tccutil "
      "reset AudioCapture <bundle id> lets macOS ask again.";
  if (refusedChange) {
    advice += withStatus(" Core Audio also refused a change of the tap's processes (",
                         *refusedChange, "), as it is reported to without that permission.");
  }
  return advice;
}

}  // namespace quenwick
