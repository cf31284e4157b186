// What Windows SDK's audioclientactivationparams.h declares, which Debian's mingw-w64 lacks:
// the parameters ActivateAudioInterfaceAsync takes, as a VT_BLOB, to activate a process-loopback
// client (Windows 10 build 20348 and later). Declared from Microsoft's documentation of these
// types, with their documented names and values, in the backend's namespace so that they never
// meet the SDK's own.
#pragma once

#include <cstdint>

namespace quenwick::loopback {

enum AUDIOCLIENT_ACTIVATION_TYPE : int {
  AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
  AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};

// Render streams of the target process and its child processes are included in, or excluded
// from, the loopback stream. There is no mode for one process without its children.
enum PROCESS_LOOPBACK_MODE : int {
  PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
  PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};

struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
  std::uint32_t TargetProcessId;  // DWORD
  PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};

struct AUDIOCLIENT_ACTIVATION_PARAMS {
  AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
  union {
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
  };
};

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_TYPE) == 4 && sizeof(PROCESS_LOOPBACK_MODE) == 4);
static_assert(sizeof(AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS) == 8);
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12);

// The virtual device that a process-loopback client is activated on: L"VAD\\Process_Loopback".
inline constexpr char16_t VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK[] = u"VAD\\Process_Loopback";

}  // namespace quenwick::loopback
