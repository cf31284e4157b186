#include "capture/capture_start.h"

namespace quenwick {

OSStatus installCaptureCallback(AudioHardware& hardware, AudioObjectID aggregateID,
                                CaptureCallback& callback, AudioDeviceIOProcID* procID) {
  *procID = nullptr;
  auto block = [&callback](const AudioTimeStamp*, const AudioBufferList* inputData,
                           const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*,
                           const AudioStreamBasicDescription* inputFormat) {
    callback(inputData, inputTime, inputFormat);
  };
  return hardware.createIOProcID(aggregateID, block, procID);
}

}  // namespace quenwick
