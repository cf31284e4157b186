#include "capture/loopback/loopback_words.h"

#include <cstdio>
#include <initializer_list>

#include "capture/loopback/activation.h"

namespace quenwick::loopback {
namespace {

// The audio stack's own codes, which the system's message table has no words for.
std::string_view audioClientName(HRESULT code) {
  switch (static_cast<std::uint32_t>(code)) {
    case 0x88890001:
      return "AUDCLNT_E_NOT_INITIALIZED";
    case 0x88890002:
      return "AUDCLNT_E_ALREADY_INITIALIZED";
    case 0x88890004:
      return "AUDCLNT_E_DEVICE_INVALIDATED";
    case 0x88890008:
      return "AUDCLNT_E_UNSUPPORTED_FORMAT";
    case 0x8889000B:
      return "AUDCLNT_E_BUFFER_OPERATION_PENDING";
    case 0x88890010:
      return "AUDCLNT_E_SERVICE_NOT_RUNNING";
    case 0x88890014:
      return "AUDCLNT_E_EVENTHANDLE_NOT_SET";
    case 0x88890018:
      return "AUDCLNT_E_BUFFER_ERROR";
    case 0x88890026:
      return "AUDCLNT_E_RESOURCES_INVALIDATED";
    case 0x8000000E:
      return "E_ILLEGAL_METHOD_CALL";
    default:
      return {};
  }
}

// Appended piece by piece: GCC 12 sees overlaps that are not there in chains of operator+.
std::string joined(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (const std::string_view piece : pieces) text.append(piece);
  return text;
}

// "0x80070002: The system cannot find the file specified", without the system's line end.
std::string codeAndWords(HRESULT code, std::string_view systemText) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  std::string_view words = systemText;
  while (!words.empty() && (words.back() == '\r' || words.back() == '\n' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.remove_suffix(1);
  }
  if (words.empty()) words = audioClientName(code);
  return words.empty() ? std::string(hex) : joined({hex, ": ", words});
}

}  // namespace

std::string loopbackFailureMessage(FailedStep step, HRESULT code, std::string_view systemText) {
  const std::string why = joined({"(", codeAndWords(code, systemText), ")"});
  switch (step) {
    case FailedStep::reachService:
      return joined({"could not reach the Windows audio service ", why,
                     ". Check that the Windows Audio service (Audiosrv) is running."});
    case FailedStep::readDefaultFormat:
      return joined({"could not read the default output device's format ", why,
                     ". Check that an output device is enabled under Settings > System > Sound."});
    case FailedStep::activate:
      if (code == kActivationTimedOut) {
        return joined({"could not activate process loopback within ", kActivationWait, " ", why,
                       ". Windows may be waiting on a consent prompt that a console program "
                       "cannot show; check that apps may use audio capture under Settings > "
                       "Privacy & security > Microphone."});
      }
      if (code == kAccessDenied) {
        return joined({"could not activate process loopback ", why,
                       ". Check that apps may use audio capture under Settings > Privacy & "
                       "security > Microphone."});
      }
      // Wine answers the loopback device's path as a file that does not exist.
      return joined({"could not activate process loopback ", why,
                     ". It needs Windows 10 build 20348 or later (Windows 11, Windows Server "
                     "2022); Wine has none."});
    case FailedStep::initialize:
      return joined({"could not initialize the loopback capture ", why});
    case FailedStep::setUp:
      return joined({"could not set up the loopback capture ", why});
    case FailedStep::start:
      return joined({"could not start capture ", why});
  }
  return joined({"the audio layer failed ", why});
}

std::string endedCaptureMessage(HRESULT code, std::string_view systemText) {
  if (code == kServiceNotRunning) return kServerWentAway;
  const std::string why = joined({"(", codeAndWords(code, systemText), ")"});
  // The device was unplugged, disabled or reconfigured: a new activation hears again.
  if (code == kDeviceInvalidated) return joined({"the audio device changed ", why});
  return joined({"the loopback capture kept failing ", why});
}

std::string loopbackSilenceAdvice() {
  return "only zeros were heard while the processes played. That may be a call in which nobody "
         "speaks, but Windows also leaves some sound out of what another app can capture: a "
         "stream its app marked as not to be captured (some call apps are reported to be heard as "
         "silence), protected content such as DRM video, and a stream that holds the output "
         "device in exclusive mode. For the last, turn off \"Allow applications to take exclusive "
         "control of this device\" in the output device's properties (Control Panel > Sound > "
         "Playback > Properties > Advanced), then start the app again; the others cannot be "
         "captured.";
}

std::string exclusionLimitMessage(std::int32_t pid) {
  return joined({"cannot leave out --exclude-self ", std::to_string(pid),
                 ": it is not in the process tree of the agent's parent, and Windows leaves out "
                 "only one process tree, the parent's"});
}

}  // namespace quenwick::loopback
