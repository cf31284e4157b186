#include "sink_monitor.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace quenwick::reliability {
namespace {

constexpr std::size_t kProbeFrames = 8;

std::uint32_t little32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

std::uint16_t little16(const std::string& bytes, std::size_t at) {
  std::uint16_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// The monitor carries the signal times the sink's volume; float rounding of that product is all
// the difference allowed.
bool nearlyEqual(float recorded, float played, double gain) {
  const double expected = gain * played;
  return std::fabs(recorded - expected) <= 1e-6 + 1e-5 * std::fabs(expected);
}

bool framesMatch(const std::vector<float>& recorded, std::size_t at,
                 const std::vector<float>& played, std::size_t from, double gain) {
  return nearlyEqual(recorded[2 * at], played[2 * from], gain) &&
         nearlyEqual(recorded[2 * at + 1], played[2 * from + 1], gain);
}

}  // namespace

std::unique_ptr<harness::AgentProcess> recordSinkMonitor(const pwtest::PrivatePipeWire& stack,
                                                         const std::string& path) {
  return stack.spawn("pw-record", {"-P", "{ stream.capture.sink = true }", "--target", "test-sink",
                                   "--rate", "48000", "--channels", "2", "--format", "f32", path});
}

std::optional<std::vector<float>> readStereoFloatWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    return std::nullopt;
  }
  bool stereoFloat = false;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = bytes.substr(at, 4);
    const std::size_t size = little32(bytes, at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt " && body + 16 <= bytes.size()) {
      stereoFloat = little16(bytes, body + 2) == 2 && little16(bytes, body + 14) == 32;
    } else if (id == "data") {
      if (!stereoFloat) return std::nullopt;
      // A recorder stopped early may leave the size unset: the data then runs to the end.
      const std::size_t available = bytes.size() - body;
      const std::size_t length = size == 0 || size > available ? available : size;
      std::vector<float> samples(length / (2 * sizeof(float)) * 2);
      std::memcpy(samples.data(), bytes.data() + body, samples.size() * sizeof(float));
      return samples;
    }
    at = body + size + (size & 1);
  }
  return std::nullopt;
}

Continuity followSignal(const std::vector<float>& recorded, const std::vector<float>& played) {
  Continuity result;
  result.frames = recorded.size() / 2;
  const std::size_t playedFrames = played.size() / 2;
  std::size_t first = 0;
  while (first < result.frames && recorded[2 * first] == 0.0f && recorded[2 * first + 1] == 0.0f) {
    ++first;
  }
  result.silentFrames = first;
  if (first + kProbeFrames > result.frames) return result;

  // Where in the signal the first sound comes from: the first frame of the signal from which
  // a few frames agree, at one gain.
  for (std::size_t offset = 0; offset + kProbeFrames <= playedFrames; ++offset) {
    if (played[2 * offset] == 0.0f) continue;
    const double gain = static_cast<double>(recorded[2 * first]) / played[2 * offset];
    bool agrees = gain > 0.0;
    for (std::size_t k = 0; agrees && k < kProbeFrames; ++k) {
      agrees = framesMatch(recorded, first + k, played, offset + k, gain);
    }
    if (!agrees) continue;
    result.playedOffset = offset;
    result.gain = gain;
    std::size_t matched = 0;
    while (first + matched < result.frames && offset + matched < playedFrames &&
           framesMatch(recorded, first + matched, played, offset + matched, gain)) {
      ++matched;
    }
    result.matchedFrames = matched;
    return result;
  }
  return result;
}

}  // namespace quenwick::reliability
