// Tap format tracking: the format the tap delivers, read at start-up and re-read whenever Core
// Audio announces a change, handed to the delivering thread whole.
#pragma once

#include <mutex>
#include <optional>

#include "capture/coreaudio/audio_hardware.h"
#include "capture/coreaudio/format_handover.h"

namespace quenwick {

class TapFormatTracker {
 public:
  // `handover` is where accepted formats go to the delivering thread.
  TapFormatTracker(AudioHardware& hardware, AudioObjectID tapID, FormatHandover& handover);

  // Start-up: reads the tap's format and hands it over. Nothing when the read fails or the rate
  // cannot be resampled (zero, negative, not a number, infinite or under 250 Hz).
  std::optional<AudioStreamBasicDescription> readInitialFormat();

  // A notification's work, on whichever thread Core Audio announces the change: re-reads the
  // format and takes it when its rate, channels, flags or frame size differ from the current one.
  // Returns the format taken, or nothing when the read failed, the rate is unusable, nothing
  // that matters changed, or the start-up read has not been made yet (it reads the news itself).
  std::optional<AudioStreamBasicDescription> refreshFormat();

 private:
  std::optional<AudioStreamBasicDescription> readFormat();
  void take(const AudioStreamBasicDescription& format);

  AudioHardware& hardware_;
  AudioObjectID tapID_;
  FormatHandover& handover_;
  // The start-up read and the notifications may come on different threads at once.
  std::mutex mutex_;
  bool started_ = false;
  AudioStreamBasicDescription tapFormat_{};
};

}  // namespace quenwick
