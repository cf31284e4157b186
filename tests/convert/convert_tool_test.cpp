// quenwick-convert, the conversion as a command: the bytes it writes for a long input, read and
// written in chunks, are the plain reference's for the same block plan, in every layout.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "convert/reference.h"
#include "convert/sample_layout.h"
#include "support/linear_pcm.h"

namespace quenwick {
namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  for (char buffer[1 << 16]; const std::size_t n = fread(buffer, 1, sizeof buffer, pipe);) {
    out.append(buffer, n);
  }
  return pclose(pipe) == 0 ? out : "failed";
}

TEST(ConvertTool, WritesTheReferenceConversionOfEachBlockOfThePlan) {
  const std::string dir = testing::TempDir();
  const std::vector<std::size_t> plan = {7, 4096, 1, 3001, 65536};
  std::ofstream(dir + "plan") << "7 4096\n1 3001 65536\n";
  std::mt19937 random(3);
  for (const auto& [layout, channels] :
       {std::pair{SampleLayout::f32, 2u}, {SampleLayout::s16, 1u}, {SampleLayout::planar, 3u}}) {
    // Over ten megabytes, so that blocks straddle the tool's reads; it ends inside a block.
    const std::size_t sampleBytes = bytesPerSample(layout);
    std::vector<std::byte> input(10'000'003 / (channels * sampleBytes) * channels * sampleBytes +
                                 5);
    for (std::size_t i = 0; i < input.size(); i += sampleBytes) {
      const float value = std::uniform_real_distribution<float>(-1.2f, 1.2f)(random);
      const auto s16 = static_cast<std::int16_t>(value * 30000);
      std::memcpy(&input[i], sampleBytes == 4 ? static_cast<const void*>(&value) : &s16,
                  std::min(sampleBytes, input.size() - i));
    }
    std::ofstream(dir + "input", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));

    const auto format = linearPcmOf(layout, 44100, channels);
    reference::Resampler resampler{44100 / 16000.0};
    std::vector<std::int16_t> expected;
    const std::size_t frameBytes = channels * sampleBytes;
    for (std::size_t at = 0, b = 0; at < input.size(); at += plan[b++ % plan.size()] * frameBytes) {
      const std::size_t bytes = std::min(plan[b % plan.size()] * frameBytes, input.size() - at);
      std::vector<std::vector<float>> planes(channels);
      std::vector<AudioBuffer> list{{channels, std::uint32_t(bytes), &input[at]}};
      if (layout == SampleLayout::planar) {
        list.clear();
        for (std::uint32_t c = 0; c < channels; ++c) {
          for (std::size_t f = 0; f < bytes / frameBytes; ++f) {
            planes[c].push_back(reinterpret_cast<const float*>(&input[at])[f * channels + c]);
          }
          list.push_back({1, std::uint32_t(planes[c].size() * 4), planes[c].data()});
        }
      }
      resampler.emit(reference::downmix(list, format), expected);
    }
    const std::string out =
        run(std::string(QUENWICK_CONVERT_PATH) + " --rate 44100 --channels " +
            std::to_string(channels) + " --layout " + std::string(nameOf(layout)) + " --blocks " +
            dir + "plan " + dir + "input");
    ASSERT_EQ(out.size(), expected.size() * 2) << nameOf(layout);
    EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size()), 0) << nameOf(layout);
  }
  EXPECT_EQ(run(std::string(QUENWICK_CONVERT_PATH) + " --rate 0 2>/dev/null"), "failed");
}

}  // namespace
}  // namespace quenwick
