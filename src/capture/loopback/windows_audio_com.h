// The process-loopback backend's seam over Windows itself: COM, WASAPI, the session manager,
// MMCSS and the performance counter (Windows 10 build 20348 or later for process loopback).
// Windows only; built with mingw-w64 or the Windows SDK.
#pragma once

#include <memory>

#include "capture/loopback/windows_audio.h"

namespace quenwick::loopback {

// Every operation is one call of Windows, its HRESULT as Windows gives it. The calling thread
// joins COM's multithreaded apartment, as the session manager's notifications need.
std::unique_ptr<WindowsAudio> makeWindowsAudio();

}  // namespace quenwick::loopback
