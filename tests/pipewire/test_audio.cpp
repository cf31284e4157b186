#include "test_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "support/agent_process.h"

namespace quenwick::pwtest {
namespace {

using namespace std::chrono_literals;

template <typename T>
void put(std::ofstream& out, T value) {
  out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

std::vector<float> randomStereo(std::size_t frames, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> amplitude(-0.8f, 0.8f);
  std::vector<float> samples(frames * 2);
  for (float& sample : samples) sample = amplitude(generator);
  return samples;
}

bool writeFloatWav(const std::string& path, const std::vector<float>& interleaved,
                   std::uint32_t channels) {
  std::ofstream out(path, std::ios::binary);
  const auto dataBytes = static_cast<std::uint32_t>(interleaved.size() * sizeof(float));
  out.write("RIFF", 4);
  put<std::uint32_t>(out, 36 + dataBytes);
  out.write("WAVEfmt ", 8);
  put<std::uint32_t>(out, 16);
  put<std::uint16_t>(out, 3);  // IEEE float
  put<std::uint16_t>(out, static_cast<std::uint16_t>(channels));
  put<std::uint32_t>(out, kTestRate);
  put<std::uint32_t>(out, kTestRate * channels * 4);
  put<std::uint16_t>(out, static_cast<std::uint16_t>(channels * 4));
  put<std::uint16_t>(out, 32);
  out.write("data", 4);
  put<std::uint32_t>(out, dataBytes);
  out.write(reinterpret_cast<const char*>(interleaved.data()), dataBytes);
  return static_cast<bool>(out);
}

std::vector<std::int16_t> samplesOf(const std::string& pcm) {
  std::vector<std::int16_t> samples(pcm.size() / 2);
  std::memcpy(samples.data(), pcm.data(), samples.size() * 2);
  return samples;
}

std::optional<std::vector<std::int16_t>> convertedFrom(const std::vector<float>& interleaved,
                                                       std::size_t skipFrames,
                                                       const std::string& scratchDirectory) {
  const std::string input = scratchDirectory + "/convert-input.f32";
  {
    std::ofstream out(input, std::ios::binary);
    const std::size_t skip = std::min(skipFrames * 2, interleaved.size());
    out.write(reinterpret_cast<const char*>(interleaved.data() + skip),
              static_cast<std::streamsize>((interleaved.size() - skip) * sizeof(float)));
  }
  std::string error;
  auto convert = harness::AgentProcess::spawn(
      QUENWICK_CONVERT_PATH, {"--rate", "48000", "--channels", "2", "--layout", "f32", input}, {},
      &error);
  if (!convert || convert->wait(60s) != harness::ExitStatus::exitedWith(0)) return std::nullopt;
  return samplesOf(convert->out());
}

std::string checkCapturedExactly(const std::vector<std::int16_t>& captured,
                                 const std::vector<float>& signal, std::size_t minimumMatch,
                                 const std::string& scratchDirectory) {
  constexpr std::size_t kWindow = 32;
  const auto firstSound =
      std::find_if(captured.begin(), captured.end(), [](std::int16_t s) { return s != 0; });
  const auto lastSound =
      std::find_if(captured.rbegin(), captured.rend(), [](std::int16_t s) { return s != 0; });
  if (firstSound == captured.end()) return "the capture is all silence";
  const auto first = static_cast<std::size_t>(firstSound - captured.begin());
  const auto last = captured.size() - 1 - static_cast<std::size_t>(lastSound - captured.rbegin());
  if (last - first < 2 * kWindow) return "the capture holds almost no sound";
  const std::size_t anchor = first + (last - first) / 2;

  for (std::size_t phase = 0; phase < 3; ++phase) {
    auto reference = convertedFrom(signal, phase, scratchDirectory);
    if (!reference) return "quenwick-convert failed";
    const auto found =
        std::search(reference->begin(), reference->end(),
                    captured.begin() + static_cast<std::ptrdiff_t>(anchor),
                    captured.begin() + static_cast<std::ptrdiff_t>(anchor + kWindow));
    if (found == reference->end()) continue;
    const auto offset = static_cast<std::ptrdiff_t>(found - reference->begin()) -
                        static_cast<std::ptrdiff_t>(anchor);
    auto matches = [&](std::size_t j) {
      const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(j) + offset;
      return k >= 0 && k < static_cast<std::ptrdiff_t>(reference->size()) &&
             (*reference)[static_cast<std::size_t>(k)] == captured[j];
    };
    std::size_t begin = anchor;
    while (begin > 0 && matches(begin - 1)) --begin;
    std::size_t end = anchor;
    while (end < captured.size() && matches(end)) ++end;
    std::ostringstream problem;
    for (std::size_t j = 0; j < captured.size(); ++j) {
      if ((j < begin || j >= end) && captured[j] != 0) {
        problem << "sample " << j << " is " << captured[j] << ", outside the stretch [" << begin
                << ", " << end << ") that equals the signal (phase " << phase << ", offset "
                << offset << ", " << captured.size() << " samples captured)";
        return problem.str();
      }
    }
    if (end - begin < minimumMatch) {
      problem << "only " << end - begin << " samples equal the signal";
      return problem.str();
    }
    return "";
  }
  return "no stretch of the capture equals the signal at any offset";
}

double rms(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to) {
  to = std::min(to, samples.size());
  if (from >= to) return 0.0;
  double sum = 0.0;
  for (std::size_t i = from; i < to; ++i) {
    const double value = samples[i] / 32767.0;
    sum += value * value;
  }
  return std::sqrt(sum / static_cast<double>(to - from));
}

}  // namespace quenwick::pwtest
