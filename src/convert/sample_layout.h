// The three sample layouts the capture callback reads, and the stream format of each, as the
// converter tool, the tests and the benchmarks name and build them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "capture/captured_cycle.h"

namespace quenwick {

enum class SampleLayout {
  f32,     // interleaved 32-bit float, one buffer
  s16,     // interleaved signed 16-bit, one buffer
  planar,  // 32-bit float, one buffer per channel
};

std::string_view nameOf(SampleLayout layout);
std::optional<SampleLayout> parseSampleLayout(std::string_view name);

// Bytes of one sample in `layout`.
std::uint32_t bytesPerSample(SampleLayout layout);

// A stream of `channels` channels at `rate` frames per second in `layout`.
StreamFormat describeStream(SampleLayout layout, double rate, std::uint32_t channels);

}  // namespace quenwick
