#include "soak_plan.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "convert/downmix.h"
#include "convert/resampler.h"
#include "fake_script.h"

namespace quenwick::reliability {
namespace {

constexpr std::uint64_t kSecondsPerSegment = 60;
constexpr std::uint32_t kOutputRate = 16000;

// Sample files whose lengths share no factor with any channel count here, so a frame that
// wraps around the end of a file starts on a different channel each time.
constexpr std::size_t kFloatSamples = 48017;
constexpr std::size_t kIntegerSamples = 48029;

// Neighbours always differ in rate, channels or layout: each one is a real change of format.
// Rates from 8000 (upsampling) to 96000 Hz; 44100 is left out, its ratio is not exact.
const std::vector<SoakFormat>& soakFormats() {
  static const std::vector<SoakFormat> formats = {
      {48000, 2, "f32"},   {32000, 1, "s16"}, {24000, 6, "planar"}, {96000, 2, "s16"},
      {8000, 2, "planar"}, {16000, 4, "f32"}, {48000, 1, "planar"}, {64000, 2, "f32"},
  };
  return formats;
}

std::string samplesPath(const std::string& directory, const std::string& layout) {
  return directory + (layout == "s16" ? "/soak-samples.s16" : "/soak-samples.f32");
}

template <typename Sample>
void writeSamples(const std::string& path, const std::vector<Sample>& samples) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(Sample)));
}

template <typename Sample>
std::vector<Sample> readSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<Sample> samples(bytes.size() / sizeof(Sample));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(Sample));
  return samples;
}

// Buffer lists from one frame to 8192, with now and then an empty one, in runs of equal sizes.
void appendDeliveries(std::ostringstream& script, std::uint64_t frames, std::mt19937& random) {
  while (frames > 0) {
    const std::uint32_t kind = random() % 20;
    std::uint64_t size;
    if (kind == 0) {
      size = 0;
    } else if (kind <= 3) {
      size = 1 + random() % 7;
    } else if (kind <= 14) {
      size = 64 + random() % 1137;
    } else if (kind <= 18) {
      size = 1201 + random() % 2896;
    } else {
      size = 4097 + random() % 4096;
    }
    std::uint64_t count = 1 + random() % 8;
    if (size > 0) count = std::min(count, frames / size);
    if (size > 0 && count == 0) {
      size = frames;
      count = 1;
    }
    script << "deliver " << count << ' ' << size << '\n';
    frames -= count * size;
  }
}

// The segment's input: the sample file's bytes from its beginning, as often as it takes.
template <typename Sample>
std::vector<Sample> segmentInput(const SoakSegment& segment, const std::string& directory) {
  const auto file = readSamples<Sample>(samplesPath(directory, segment.format.layout));
  std::vector<Sample> input(segment.frames * segment.format.channels);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = file[i % file.size()];
  return input;
}

AudioStreamBasicDescription streamFormat(const SoakFormat& format) {
  std::string error;
  const auto script = harness::parseFakeScript("format " + format.text() + "\n", &error);
  return script ? script->format.format : AudioStreamBasicDescription{};
}

}  // namespace

std::string SoakFormat::text() const {
  return std::to_string(rate) + ' ' + std::to_string(channels) + ' ' + layout;
}

SoakPlan planSoak(std::size_t minutes, const std::string& directory, const std::string& logPath) {
  std::mt19937 random(20240611);
  std::vector<float> floats(kFloatSamples);
  // Past full scale now and then, so clamping is part of the run.
  for (float& sample : floats) {
    sample = static_cast<float>(static_cast<double>(random() % 22001) / 10000.0 - 1.1);
  }
  std::vector<std::int16_t> integers(kIntegerSamples);
  for (auto& sample : integers) {
    sample = static_cast<std::int16_t>(static_cast<std::int32_t>(random() % 65536) - 32768);
  }
  writeSamples(samplesPath(directory, "f32"), floats);
  writeSamples(samplesPath(directory, "s16"), integers);

  SoakPlan plan;
  const auto& formats = soakFormats();
  std::ostringstream script;
  script << "log " << logPath << '\n' << "format " << formats[0].text() << '\n';
  for (std::size_t minute = 0; minute < minutes; ++minute) {
    const SoakFormat& format = formats[minute % formats.size()];
    if (minute > 0) {
      // The change reaches the agent through both listeners; the sync holds the next delivery
      // back until the agent has taken it.
      script << "change " << format.text() << "\nnotify tfmt\nnotify nsrt\nsync\n";
    }
    script << "source file " << samplesPath(directory, format.layout) << '\n';
    const std::uint64_t frames = std::uint64_t{format.rate} * kSecondsPerSegment;
    appendDeliveries(script, frames, random);
    plan.segments.push_back({format, frames});
  }
  plan.script = script.str();
  return plan;
}

std::uint64_t outputCount(std::uint64_t frames, std::uint32_t rate) {
  if (frames == 0) return 0;
  return ((frames - 1) * kOutputRate + rate - 1) / rate;
}

std::vector<std::int16_t> expectedPcm(const SoakSegment& segment, const std::string& directory) {
  const AudioStreamBasicDescription format = streamFormat(segment.format);
  const std::uint32_t channels = segment.format.channels;
  std::vector<float> mono;
  if (segment.format.layout == "s16") {
    auto input = segmentInput<std::int16_t>(segment, directory);
    const AudioBuffer buffer{channels, static_cast<std::uint32_t>(input.size() * 2), input.data()};
    downmix(std::span(&buffer, 1), format, mono);
  } else {
    auto input = segmentInput<float>(segment, directory);
    std::vector<AudioBuffer> buffers;
    std::vector<std::vector<float>> planes;
    if (segment.format.layout == "planar") {
      planes.assign(channels, std::vector<float>(segment.frames));
      for (std::size_t i = 0; i < input.size(); ++i) planes[i % channels][i / channels] = input[i];
      for (auto& plane : planes) {
        buffers.push_back({1, static_cast<std::uint32_t>(plane.size() * 4), plane.data()});
      }
    } else {
      buffers.push_back({channels, static_cast<std::uint32_t>(input.size() * 4), input.data()});
    }
    downmix(buffers, format, mono);
  }
  Resampler resampler;
  resampler.reset(static_cast<double>(segment.format.rate) / kOutputRate);
  const auto samples = resampler.process(mono);
  return {samples.begin(), samples.end()};
}

}  // namespace quenwick::reliability
