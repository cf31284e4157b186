// Which resampler turns the mono blocks into 16 kHz samples.
#pragma once

#include <optional>
#include <string_view>

namespace quenwick {

enum class Quality {
  linear,  // linear interpolation, no filter: the default, byte for byte as it always was
  high,    // band-limited to 7 kHz by a windowed-sinc filter, so nothing above 8 kHz folds back
};

// "linear" or "high"; anything else is none.
inline std::optional<Quality> parseQuality(std::string_view text) {
  if (text == "linear") return Quality::linear;
  if (text == "high") return Quality::high;
  return std::nullopt;
}

}  // namespace quenwick
