// The capture callback: each buffer list is decoded with one whole tap format, mixed down to
// mono, resampled and written to the PCM stream as one block.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "convert/audio_buffers.h"
#include "convert/format_handover.h"
#include "convert/pcm_writer.h"
#include "convert/resampler.h"

namespace quenwick {

// The conversion of buffer lists into PCM samples, without the write.
class ListConverter {
 public:
  // Nothing is read from `handover` until the first call.
  explicit ListConverter(const FormatHandover& handover);

  // One call at a time. A format published since the last call takes effect here, at the
  // buffer-list boundary, and resets the resampler before this list is converted. Returns the
  // list's samples, valid until the next call.
  std::span<const std::int16_t> operator()(const AudioBufferList* input);

 private:
  const FormatHandover& handover_;
  std::uint64_t generation_ = 0;
  AudioStreamBasicDescription format_{};
  Resampler resampler_;
  std::vector<float> mono_;
};

class CaptureCallback {
 public:
  CaptureCallback(const FormatHandover& handover, PcmOutput& output)
      : convert_(handover), output_(output) {}

  // The audio layer's IO thread, one call at a time.
  void operator()(const AudioBufferList* input) { output_.write(convert_(input)); }

 private:
  ListConverter convert_;
  PcmOutput& output_;
};

}  // namespace quenwick
