// Activating a process-loopback client: ActivateAudioInterfaceAsync on the virtual loopback
// device with the target process and mode as a VT_BLOB, then a wait for its completion, which
// may come on another thread before the call returns, after it, or on this very thread inside it.
#pragma once

#include <memory>

#include "capture/loopback/activation_params.h"
#include "capture/loopback/windows_audio.h"

namespace quenwick::loopback {

struct Activated {
  HRESULT status = kOk;  // the call's, else the activation's own
  std::unique_ptr<AudioClient> client;
};

// How long the completion is waited for. ActivateAudioInterfaceAsync "must be called on the main
// UI thread so that the consent prompt can be shown", and a console agent has none: a prompt
// that cannot be shown may leave the activation unanswered for good.
inline constexpr int kActivationSeconds = 5;
inline constexpr const char* kActivationWait = "five seconds";
// What a completion that never came is told as: HRESULT_FROM_WIN32(ERROR_TIMEOUT).
inline constexpr auto kActivationTimedOut = static_cast<HRESULT>(0x800705B4);

// Waits up to kActivationSeconds for the completion; the parent watch runs meanwhile.
Activated activateProcessLoopback(WindowsAudio& audio, DWORD targetPid, PROCESS_LOOPBACK_MODE mode);

}  // namespace quenwick::loopback
