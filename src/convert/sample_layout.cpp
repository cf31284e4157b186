#include "convert/sample_layout.h"

namespace quenwick {

std::string_view nameOf(SampleLayout layout) {
  switch (layout) {
    case SampleLayout::f32:
      return "f32";
    case SampleLayout::s16:
      return "s16";
    case SampleLayout::planar:
      return "planar";
  }
  return "?";
}

std::optional<SampleLayout> parseSampleLayout(std::string_view name) {
  for (const auto layout : {SampleLayout::f32, SampleLayout::s16, SampleLayout::planar}) {
    if (name == nameOf(layout)) return layout;
  }
  return std::nullopt;
}

std::uint32_t bytesPerSample(SampleLayout layout) {
  return layout == SampleLayout::s16 ? sizeof(std::int16_t) : sizeof(float);
}

StreamFormat describeStream(SampleLayout layout, double rate, std::uint32_t channels) {
  return {rate, channels, layout == SampleLayout::s16 ? SampleType::int16 : SampleType::float32,
          layout == SampleLayout::planar};
}

}  // namespace quenwick
