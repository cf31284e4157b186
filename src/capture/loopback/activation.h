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

// Waits for as long as the activation takes; the parent watch runs meanwhile.
Activated activateProcessLoopback(WindowsAudio& audio, DWORD targetPid, PROCESS_LOOPBACK_MODE mode);

}  // namespace quenwick::loopback
