// Capture start: the capture callback installed on the aggregate device, and the device started.
#pragma once

#include "capture/audio_hardware.h"
#include "convert/capture_callback.h"

namespace quenwick {

// Installs `callback` as the device's IO block, with no dispatch queue, so that it runs on the
// audio layer's IO thread. `callback` must outlive the IO proc.
OSStatus installCaptureCallback(AudioHardware& hardware, AudioObjectID aggregateID,
                                CaptureCallback& callback, AudioDeviceIOProcID* procID);

}  // namespace quenwick
