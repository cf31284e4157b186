// The capture callback: each buffer list is decoded with one whole format, mixed down to mono,
// resampled, placed on the stream's timeline and handed to the PCM output.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "convert/audio_buffers.h"
#include "convert/format_handover.h"
#include "convert/pcm_output.h"
#include "convert/resampler.h"
#include "convert/timeline.h"

namespace quenwick {

// The conversion of buffer lists into PCM samples, without the write.
class ListConverter {
 public:
  // Nothing is read from `handover` until the first call.
  explicit ListConverter(const FormatHandover& handover);

  // One call at a time. The list is read in `format`, the format it was captured in, when the
  // audio layer tells it, and a format other than the last list's restarts the resampler at this
  // list. Otherwise it is read in the format last published, and a format published since the
  // last call restarts the resampler. Returns the list's samples, valid until the next call.
  std::span<const std::int16_t> operator()(const AudioBufferList* input,
                                           const AudioStreamBasicDescription* format = nullptr);

 private:
  const FormatHandover& handover_;
  std::uint64_t generation_ = 0;
  AudioStreamBasicDescription published_{};
  bool converting_ = false;
  AudioStreamBasicDescription format_{};
  Resampler resampler_;
  std::vector<float> mono_;
};

class CaptureCallback {
 public:
  CaptureCallback(const FormatHandover& handover, PcmOutput& output, HostClock clock = {})
      : convert_(handover), timeline_(clock), output_(output) {}

  // The audio layer's IO thread, one call at a time, with what the IO block was given.
  void operator()(const AudioBufferList* input, const AudioTimeStamp* inputTime = nullptr,
                  const AudioStreamBasicDescription* inputFormat = nullptr) {
    const auto samples = convert_(input, inputFormat);
    const auto place = timeline_.place(inputTime, samples.size());
    output_.write(place.silence, samples.subspan(place.skip));
  }

 private:
  ListConverter convert_;
  Timeline timeline_;
  PcmOutput& output_;
};

}  // namespace quenwick
