// The process-loopback backend (Windows 10 build 20348 and later): the capture interface as
// Windows' sequence of calls, in portable C++ over the backend's own seam (windows_audio.h).
// Processes mode makes one loopback client per listed process, each hearing the process's
// tree; global mode makes one that hears everything but the tree of the agent's parent. The
// render endpoints' session managers tell who has a session (something to hear), of new
// sessions (the processes changed) and who plays. The delivering thread is the backend's own
// (Windows has no thread that hands out loopback packets; MMCSS calls it an "Audio" task): it
// mixes the clients' packets by their QPC positions into periods of the engine, and keeps the
// timeline while none come.
// Failures are worded with the HRESULT and the system's words (loopback_words.h).
#pragma once

#include <functional>
#include <memory>

#include "capture/backend.h"
#include "capture/loopback/windows_audio.h"

namespace quenwick::loopback {

// "loopback", on the audio stack that `makeAudio` gives for each opening. It always serves:
// whether the audio service answers, and whether the system has process loopback, is told in
// Windows' words at the steps that find out, each opening anew.
Backend loopbackBackend(std::function<std::shared_ptr<WindowsAudio>()> makeAudio);

}  // namespace quenwick::loopback
