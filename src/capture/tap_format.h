// Tap format tracking: the format the tap delivers, read at start-up and re-read whenever the
// audio layer announces a change, handed to the IO thread whole.
#pragma once

#include <optional>

#include "capture/audio_hardware.h"
#include "convert/format_handover.h"

namespace quenwick {

class TapFormatTracker {
 public:
  // `handover` is where accepted formats go to the capture callback.
  TapFormatTracker(AudioHardware& hardware, AudioObjectID tapID, FormatHandover& handover);

  // Start-up: reads the tap's format and hands it over. Nothing when the read fails or the rate
  // cannot be resampled (zero, negative, not a number, infinite or under 250 Hz).
  std::optional<AudioStreamBasicDescription> readInitialFormat();

  // Listener work on the main queue: re-reads the format and takes it when its rate, channels,
  // flags or frame size differ from the current one. Returns the format taken, or nothing when
  // the read failed, the rate is unusable or nothing that matters changed.
  std::optional<AudioStreamBasicDescription> refreshFormat();

 private:
  std::optional<AudioStreamBasicDescription> readFormat();
  void take(const AudioStreamBasicDescription& format);

  AudioHardware& hardware_;
  AudioObjectID tapID_;
  FormatHandover& handover_;
  AudioStreamBasicDescription tapFormat_{};
};

}  // namespace quenwick
