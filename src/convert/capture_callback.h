// The capture callback: each buffer list is decoded with one whole tap format, mixed down to
// mono, resampled and written to the PCM stream as one block.
#pragma once

#include <cstdint>
#include <vector>

#include "convert/audio_buffers.h"
#include "convert/format_handover.h"
#include "convert/resampler.h"

namespace quenwick {

class CaptureCallback {
 public:
  // `pcmFd` receives the PCM stream. Nothing is read from `handover` until the first call.
  CaptureCallback(const FormatHandover& handover, int pcmFd);

  // IO thread only, one call at a time. A format published since the last call takes effect
  // here, at the buffer-list boundary, and resets the resampler before this list is converted.
  void operator()(const AudioBufferList* input);

 private:
  const FormatHandover& handover_;
  int pcmFd_;
  std::uint64_t generation_ = 0;
  AudioStreamBasicDescription format_{};
  Resampler resampler_;
  std::vector<float> mono_;
};

}  // namespace quenwick
