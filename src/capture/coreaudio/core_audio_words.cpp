#include "capture/coreaudio/core_audio_words.h"

namespace quenwick {
namespace {

std::string withStatus(std::string_view prefix, OSStatus status, std::string_view suffix) {
  return std::string(prefix) + std::to_string(status) + std::string(suffix);
}

}  // namespace

std::string coreAudioFailureMessage(FailedStep step, OSStatus status) {
  switch (step) {
    case FailedStep::reachLayer:
      return withStatus("could not reach the audio server (", status, ")");
    case FailedStep::createTap:
      // The one refusal a user can mend: the permission to record what other apps play.
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
  }
  return withStatus("the audio layer failed (", status, ")");
}

std::string coreAudioSilenceAdvice() {
  // macOS makes and runs a tap that it may not let hear anything: a refused permission gives
  // zeros, not an error.
  return "only zeros were heard while the processes played: macOS gives a tap silence when the "
         "app that started the agent lacks the permission to record other apps' audio. Grant it "
         "in System Settings > Privacy & Security > Screen & System Audio Recording to that app "
         "(or to the terminal that runs the agent), then start it again.";
}

}  // namespace quenwick
