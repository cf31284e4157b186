// Which of the capture stream's two inputs an application's output port feeds, by the port's
// channel position ("audio.channel", as PipeWire names positions).
#pragma once

#include <cstdint>
#include <string_view>

namespace quenwick::pipewire {

enum class CaptureInputs : std::uint8_t { left = 1, right = 2, both = 3 };

// FL goes to our FL and FR to our FR. Positions that belong to neither side (mono, centre, LFE,
// auxiliary, unknown) feed both, so a mono stream is heard on both channels as the platform's
// stereo mixdown would render it. Every other left-side position feeds FL, right-side FR.
CaptureInputs captureInputsFor(std::string_view position);

}  // namespace quenwick::pipewire
