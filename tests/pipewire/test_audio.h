// Sound for the end-to-end tests: pseudo-random stereo signals written as float WAV files for
// the players, the PCM the agent must make of them (by quenwick-convert, the agent's own
// conversion), and the search that finds a signal in what the agent captured.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quenwick::pwtest {

inline constexpr std::uint32_t kTestRate = 48000;

// Interleaved stereo, uniform in [-0.8, 0.8), the same for the same seed.
std::vector<float> randomStereo(std::size_t frames, std::uint32_t seed);

// A 32-bit float WAV file at kTestRate.
bool writeFloatWav(const std::string& path, const std::vector<float>& interleaved,
                   std::uint32_t channels = 2);

// The agent's 16-bit output as samples.
std::vector<std::int16_t> samplesOf(const std::string& pcm);

// quenwick-convert's PCM for the stereo signal from frame `skipFrames` on.
std::optional<std::vector<std::int16_t>> convertedFrom(const std::vector<float>& interleaved,
                                                       std::size_t skipFrames,
                                                       const std::string& scratchDirectory);

// Whether `captured` is silence, then exactly the converted `signal` (at 48000 Hz the agent
// keeps every third input frame, so the captured PCM equals the conversion of the signal from
// one of three starting frames, whatever the buffer boundaries were), then silence again, with
// at least `minimumMatch` samples of the signal. Empty when it is; otherwise what is wrong.
std::string checkCapturedExactly(const std::vector<std::int16_t>& captured,
                                 const std::vector<float>& signal, std::size_t minimumMatch,
                                 const std::string& scratchDirectory);

// Root mean square of a stretch of samples, full scale 1.0.
double rms(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to);

}  // namespace quenwick::pwtest
