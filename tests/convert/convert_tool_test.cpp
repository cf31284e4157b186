// quenwick-convert run as a real process and compared byte for byte, with the worked examples
// and with a plain reference conversion written here from scratch, independent of src/convert.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "convert/awkward_samples.h"
#include "convert/reference_resampler.h"
#include "convert/sample_layout.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

using Layout = quenwick::SampleLayout;
using quenwick::nameOf;

// ---- The reference: the conversion written out the plain way --------------------------------

using quenwick::reference::ReferenceResampler;

// Interleaved input as raw bytes, converted block after block.
std::vector<std::int16_t> referenceConvert(const std::vector<std::byte>& input, double rate,
                                           int channels, Layout layout,
                                           const std::vector<std::size_t>& blocks) {
  const std::size_t sampleBytes = layout == Layout::s16 ? 2 : 4;
  const std::size_t frameBytes = sampleBytes * channels;
  const std::size_t totalFrames = input.size() / frameBytes;
  auto sample = [&](std::size_t frame, int channel) {
    const std::byte* at = input.data() + frame * frameBytes + channel * sampleBytes;
    if (layout == Layout::s16) {
      std::int16_t s;
      std::memcpy(&s, at, 2);
      return static_cast<float>(s) / 32767.0f;
    }
    float f;
    std::memcpy(&f, at, 4);
    return f;
  };

  ReferenceResampler resampler{rate / 16000.0};
  std::vector<std::int16_t> out;
  std::size_t start = 0;
  for (std::size_t b = 0; start < totalFrames; b = (b + 1) % blocks.size()) {
    const std::size_t frames = std::min(blocks[b], totalFrames - start);
    std::vector<float> mono(frames, 0.0f);
    if (layout == Layout::planar) {
      for (int c = 0; c < channels; ++c) {
        for (std::size_t f = 0; f < frames; ++f) mono[f] += sample(start + f, c);
      }
      for (float& m : mono) m /= static_cast<float>(channels);
    } else {
      for (std::size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) sum += sample(start + f, c);
        mono[f] = sum / static_cast<float>(channels);
      }
    }
    resampler.emit(mono, out);
    start += frames;
  }
  return out;
}

// ---- Inputs ------------------------------------------------------------------------------------

using quenwick::samples::awkwardFloat;
using quenwick::samples::Random;

std::vector<std::byte> randomInput(Layout layout, std::size_t samples, std::uint64_t seed) {
  Random random{seed};
  std::vector<std::byte> bytes;
  for (std::size_t i = 0; i < samples; ++i) {
    if (layout == Layout::s16) {
      const auto s = static_cast<std::int16_t>(random.next() >> 16);
      const auto* at = reinterpret_cast<const std::byte*>(&s);
      bytes.insert(bytes.end(), at, at + 2);
    } else {
      const float f = awkwardFloat(random);
      const auto* at = reinterpret_cast<const std::byte*>(&f);
      bytes.insert(bytes.end(), at, at + 4);
    }
  }
  return bytes;
}

template <typename T>
std::vector<std::byte> bytesOf(const std::vector<T>& values) {
  std::vector<std::byte> bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<std::int16_t> samplesOf(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// ---- Running the tool --------------------------------------------------------------------------

struct Result {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

class ConvertTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quenwick-convert-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name, const std::vector<std::byte>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  std::string textFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }

  // Runs the tool with `stdinPath` (or /dev/null) on standard input.
  Result run(const std::vector<std::string>& args, const std::string& stdinPath = "/dev/null") {
    const std::string outPath = (dir_ / "stdout").string();
    const std::string errPath = (dir_ / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<std::string> argStrings = {QUENWICK_CONVERT_PATH};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    Result result;
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, QUENWICK_CONVERT_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << QUENWICK_CONVERT_PATH << ": " << std::strerror(spawned);
      return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
  }

  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path dir_;
};

std::string blockList(const std::vector<std::size_t>& blocks) {
  std::ostringstream text;
  for (std::size_t i = 0; i < blocks.size(); ++i) text << blocks[i] << (i % 7 == 6 ? "\n" : " \t");
  return text.str();
}

// ---- Tests -------------------------------------------------------------------------------------

TEST_F(ConvertTool, WorkedExamplesAtRatioThree) {
  // Every read position is a whole sample, so the output is input sample 3k, scaled.
  std::vector<float> input(1536);
  for (std::size_t j = 0; j < input.size(); ++j) {
    input[j] = static_cast<float>(static_cast<int>((j * 37) % 201) - 100) / 100.0f;
  }
  const struct {
    std::size_t block;
    std::size_t frames;
    std::size_t samples;
  } examples[] = {{480, 1440, 480}, {512, 1536, 512}, {481, 1443, 481}};
  for (const auto& example : examples) {
    SCOPED_TRACE(example.block);
    const std::vector<float> used(input.begin(), input.begin() + example.frames);
    const auto path = file("ramp", bytesOf(used));
    const auto result = run({"--rate", "48000", "--channels", "1", "--layout", "f32", "--block",
                             std::to_string(example.block), path});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const auto out = samplesOf(result.out);
    ASSERT_EQ(out.size(), example.samples);
    for (std::size_t k = 0; k < out.size(); ++k) {
      ASSERT_EQ(out[k], static_cast<std::int16_t>(used[3 * k] * 32767.0f)) << k;
    }
  }
}

TEST_F(ConvertTool, WorkedExampleAtRatioHalf) {
  const auto path = file("in", bytesOf(std::vector<float>{0.0f, 1.0f, 0.5f, -1.0f}));
  const auto result = run({"--rate", "8000", "--channels", "1", "--layout", "f32", path});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(samplesOf(result.out),
            (std::vector<std::int16_t>{0, 16383, 32767, 24575, 16383, -8191}));
  EXPECT_EQ(result.err, "");
}

TEST_F(ConvertTool, MatchesTheReferenceOnLongAwkwardInput) {
  Random random{2024};
  std::vector<std::size_t> blocks;
  for (int i = 0; i < 61; ++i) {
    const std::uint32_t pick = random.next() % 10;
    blocks.push_back(pick == 0   ? 1
                     : pick == 1 ? 4096 + random.next() % 3000
                                 : 1 + random.next() % 1500);
  }
  const auto blocksPath = textFile("blocks", blockList(blocks));

  std::uint64_t seed = 1;
  for (const double rate : {48000.0, 44100.0, 22050.0, 8000.0}) {
    for (const Layout layout : {Layout::f32, Layout::s16, Layout::planar}) {
      for (const int channels : {1, 2, 5}) {
        SCOPED_TRACE(testing::Message()
                     << rate << " Hz, " << nameOf(layout) << ", " << channels << " channels");
        // Three seconds and a bit, so that the last block is cut short, then a partial frame.
        const std::size_t frames = static_cast<std::size_t>(rate) * 3 + 777;
        auto input = randomInput(layout, frames * channels, ++seed);
        const auto expected = referenceConvert(input, rate, channels, layout, blocks);
        const std::size_t frameBytes = (layout == Layout::s16 ? 2 : 4) * channels;
        input.resize(input.size() + frameBytes - 1, std::byte{0x7f});

        const auto path = file("input", input);
        std::vector<std::string> args = {"--rate",     std::to_string(static_cast<int>(rate)),
                                         "--channels", std::to_string(channels),
                                         "--layout",   std::string(nameOf(layout)),
                                         "--blocks",   blocksPath};
        // Stereo comes in on standard input, the rest from a named file.
        if (channels != 2) args.push_back(path);
        const auto result = run(args, channels == 2 ? path : "/dev/null");
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.err, "");
        ASSERT_GT(expected.size(), static_cast<std::size_t>(16000 * 3 - 2));
        EXPECT_TRUE(samplesOf(result.out) == expected)
            << "got " << result.out.size() / 2 << " samples, expected " << expected.size();
      }
    }
  }
}

TEST_F(ConvertTool, ExactRatioIgnoresHowTheStreamIsCut) {
  const auto path = file("input", randomInput(Layout::f32, 48000 * 2 * 2, 99));
  Random random{7};
  std::vector<std::size_t> irregular;
  for (int i = 0; i < 40; ++i) irregular.push_back(1 + random.next() % 2500);
  const auto blocksPath = textFile("blocks", blockList(irregular));

  const std::vector<std::string> base = {"--rate", "48000", "--channels", "2", "--layout", "f32"};
  auto withBlocks = [&](std::vector<std::string> extra) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path);
    return run(args);
  };
  const auto whole = withBlocks({"--block", "1048576"});
  ASSERT_EQ(whole.exitStatus, 0) << whole.err;
  EXPECT_EQ(whole.out.size(), 2u * 32000u);
  for (const auto& extra : std::vector<std::vector<std::string>>{
           {"--block", "1"}, {"--block", "3"}, {"--blocks", blocksPath}, {}}) {
    const auto cut = withBlocks(extra);
    ASSERT_EQ(cut.exitStatus, 0) << cut.err;
    EXPECT_TRUE(cut.out == whole.out) << (extra.empty() ? "default" : extra[1]);
  }
}

TEST_F(ConvertTool, UsageErrorsExitTwoWithNothingOnStdout) {
  const auto input = file("input", bytesOf(std::vector<float>(64, 0.25f)));
  const auto zeroBlock = textFile("zero", "512 0 512");
  const auto wordBlock = textFile("word", "512 many");
  const auto goodBlock = textFile("good", "512 256");
  // A valid command line with one option's value replaced, or with more words after it.
  auto with = [&](const std::string& option, const std::string& value,
                  std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--rate", "48000", "--channels", "2", "--layout", "f32"};
    for (std::size_t i = 0; i < args.size(); i += 2) {
      if (args[i] == option) args[i + 1] = value;
    }
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(input);
    return args;
  };
  const std::vector<std::vector<std::string>> cases = {
      {input},
      {"--rate", "48000", "--channels", "2", input},
      {"--rate", "48000", "--channels", "2", "--layout", "f32", "--block"},
      with("", "", {"--bogus", "1"}),
      with("--rate", "0"),
      with("--rate", "nan"),
      with("--rate", "inf"),
      with("--rate", "249"),  // below 1/64 of the output rate
      with("--rate", "48k"),
      with("--channels", "0"),
      with("--channels", "100000"),
      with("--layout", "f64"),
      with("", "", {"--block", "0"}),
      with("", "", {"--blocks", zeroBlock}),
      with("", "", {"--blocks", wordBlock}),
      with("", "", {"--blocks", (dir_ / "missing").string()}),
      with("", "", {"--block", "4", "--blocks", goodBlock}),
      with("", "", {input}),
      {"--rate", "48000", "--channels", "2", "--layout", "f32", (dir_ / "missing").string()},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    SCOPED_TRACE(line);
    const auto result = run(args);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("usage: quenwick-convert"), std::string::npos);
  }

  // The smallest usable rate is accepted: 250 Hz is a ratio of exactly 1/64.
  const auto lowest = run({"--rate", "250", "--channels", "1", "--layout", "f32", input});
  EXPECT_EQ(lowest.exitStatus, 0) << lowest.err;
  EXPECT_EQ(lowest.out.size(), 2u * 63u * 64u);
}

}  // namespace
