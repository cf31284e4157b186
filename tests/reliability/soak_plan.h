// The long run through the scripted audio layer: a script of many minutes of audio, delivered as
// fast as the agent takes it, in buffer lists of irregular sizes, with a change of the tap's
// format after every minute of audio; and the PCM the agent must write for it.
//
// Every format has a rate whose ratio to 16000 is exact in binary, so the resampler's read
// positions are exact: the output of a minute depends only on its input, never on how the input
// was cut into buffer lists, and the number of output samples is a closed formula.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quenwick::reliability {

struct SoakFormat {
  std::uint32_t rate;
  std::uint32_t channels;
  std::string layout;  // f32, s16 or planar, as the fake's script writes it

  std::string text() const;  // "48000 2 f32"
};

// One minute of audio in one format, counted from the reset that the format change brings.
struct SoakSegment {
  SoakFormat format;
  std::uint64_t frames;
};

struct SoakPlan {
  std::string script;
  std::vector<SoakSegment> segments;
};

// Writes the sample files into `directory` and returns the script for `minutes` minutes of
// audio; the fake logs its calls to `logPath`.
SoakPlan planSoak(std::size_t minutes, const std::string& directory, const std::string& logPath);

// Output samples for `frames` input frames after a reset, at `rate` (exact ratio): output k is
// read at input position k * rate / 16000 and needs the input sample after it, so k counts while
// that position lies before the last frame.
std::uint64_t outputCount(std::uint64_t frames, std::uint32_t rate);

// The PCM the agent must write for `segment`: its whole input converted in one block by the
// agent's own conversion code.
std::vector<std::int16_t> expectedPcm(const SoakSegment& segment, const std::string& directory);

}  // namespace quenwick::reliability
