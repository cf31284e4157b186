// How an application's channels reach the capture's two sides, by their positions (named as
// PipeWire names them in "audio.channel"): one rule for PipeWire's links and PulseAudio's streams.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenwick {

enum class CaptureInputs : std::uint8_t { left = 1, right = 2, both = 3 };

// A stream of one or two channels is linked straight to our FL and FR inputs, where PipeWire's
// plain sum keeps it bit for bit: FL to FL, FR to FR, and a position of neither side (mono,
// centre, LFE, auxiliary, unknown) to both, as a stereo mixdown renders a mono stream. Every other
// left-side position feeds FL, right-side FR.
CaptureInputs captureInputsFor(std::string_view position);

// A stream of more channels is mixed down to stereo with weights: front 1, centre and surround
// 1/√2 (a centre to both sides), LFE left out; then each side's weights over the stream's
// positions are scaled to add up to 1, so that full scale in every channel stays full scale.
struct MixWeights {
  float left = 0.0f;
  float right = 0.0f;
  friend bool operator==(const MixWeights&, const MixWeights&) = default;
};
MixWeights mixdownWeights(std::string_view position, const std::vector<std::string>& positions);

}  // namespace quenwick
