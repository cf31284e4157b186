// How a failure of Windows' audio stack is worded: the step, the HRESULT in hexadecimal with
// the system's own words for it, and where to look.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "capture/capture.h"
#include "capture/loopback/windows_audio.h"

namespace quenwick::loopback {

// The steps of the start whose failure the user hears of.
enum class FailedStep { reachService, readDefaultFormat, activate, initialize, setUp, start };

// `systemText` is FormatMessage's, as the system gives it (perhaps nothing).
std::string loopbackFailureMessage(FailedStep step, HRESULT code, std::string_view systemText);

// Why a running capture ended (CaptureEvents::serverGone): the audio service's end in every
// platform's words, a change of device, or a client whose GetBuffer kept failing.
std::string endedCaptureMessage(HRESULT code, std::string_view systemText);

// What zeros heard while the targets play may mean on Windows, and what to do.
std::string loopbackSilenceAdvice();

// Global mode leaves out one process tree, the parent's: `pid` lives outside it.
std::string exclusionLimitMessage(std::int32_t pid);

}  // namespace quenwick::loopback
