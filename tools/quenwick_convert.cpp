// quenwick-convert: runs the agent's conversion path over raw interleaved samples from a file or
// standard input and writes the PCM stream to standard output, exactly as the agent would for a
// capture of the given format delivering cycles of the given sizes.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/capture_callback.h"
#include "convert/quality.h"
#include "convert/resampler.h"
#include "convert/sample_layout.h"
#include "system/write_all.h"

namespace {

using namespace quenwick;

constexpr std::uint32_t kMaxChannels = 256;
constexpr std::size_t kMaxBlockFrames = std::size_t{1} << 20;
constexpr std::size_t kDefaultBlockFrames = 512;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: quenwick-convert --rate HZ --channels N --layout f32|s16|planar\n"
    "                        [--block FRAMES | --blocks FILE] [--quality linear|high] [INPUT|-]\n"
    "Reads interleaved samples (f32 LE for f32 and planar, s16 LE for s16) from INPUT or\n"
    "standard input, delivers them in blocks of FRAMES frames (default 512) or of the frame\n"
    "counts listed in FILE (used in order, repeated), and writes 16 kHz mono s16le PCM to\n"
    "standard output, resampled as the agent's --quality says (default linear).\n";

struct Options {
  double rate = 0.0;
  std::uint32_t channels = 0;
  SampleLayout layout = SampleLayout::f32;
  std::vector<std::size_t> blocks;
  Quality quality = Quality::linear;
  std::string input;  // empty: standard input
};

std::optional<double> parseRate(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value > 0.0)) return std::nullopt;
  if (!isUsableRatio(value / outRate)) return std::nullopt;
  return value;
}

std::optional<std::size_t> parseCount(std::string_view text, std::size_t max) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (value == 0 || value > max) return std::nullopt;
  return value;
}

std::optional<std::vector<std::size_t>> readBlockList(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::vector<std::size_t> blocks;
  std::string word;
  while (file >> word) {
    const auto frames = parseCount(word, kMaxBlockFrames);
    if (!frames) return std::nullopt;
    blocks.push_back(*frames);
  }
  if (file.bad() || blocks.empty()) return std::nullopt;
  return blocks;
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  bool haveRate = false;
  bool haveLayout = false;
  bool haveInput = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() > 1 && arg.front() == '-') {
      if (i + 1 >= argc) return std::nullopt;
      const std::string value = argv[++i];
      if (arg == "--rate") {
        const auto rate = parseRate(value);
        if (!rate) return std::nullopt;
        options.rate = *rate;
        haveRate = true;
      } else if (arg == "--channels") {
        const auto channels = parseCount(value, kMaxChannels);
        if (!channels) return std::nullopt;
        options.channels = static_cast<std::uint32_t>(*channels);
      } else if (arg == "--layout") {
        const auto layout = parseSampleLayout(value);
        if (!layout) return std::nullopt;
        options.layout = *layout;
        haveLayout = true;
      } else if (arg == "--quality") {
        const auto quality = parseQuality(value);
        if (!quality) return std::nullopt;
        options.quality = *quality;
      } else if (arg == "--block" || arg == "--blocks") {
        if (!options.blocks.empty()) return std::nullopt;
        if (arg == "--block") {
          const auto frames = parseCount(value, kMaxBlockFrames);
          if (!frames) return std::nullopt;
          options.blocks = {*frames};
        } else {
          auto blocks = readBlockList(value);
          if (!blocks) return std::nullopt;
          options.blocks = std::move(*blocks);
        }
      } else {
        return std::nullopt;
      }
    } else {
      if (haveInput) return std::nullopt;
      if (arg != "-") options.input = arg;
      haveInput = true;
    }
  }
  if (!haveRate || options.channels == 0 || !haveLayout) return std::nullopt;
  if (options.blocks.empty()) options.blocks = {kDefaultBlockFrames};
  return options;
}

// The input, read in large chunks and handed out a block at a time.
class BlockReader {
 public:
  BlockReader(int fd, std::size_t largestBlock)
      : fd_(fd), buffer_(std::max(kChunkBytes, 2 * largestBlock) / sizeof(float) + 1) {}

  // The next `bytes` bytes, fewer at the end of the input; empty at its end. Nothing on an error.
  std::optional<std::span<const std::byte>> next(std::size_t bytes) {
    if (end_ - begin_ < bytes && !ended_) {
      // Keep what is left at the front, where blocks stay aligned for either sample type.
      std::memmove(data(), data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
      while (end_ < capacity() && !ended_) {
        const ssize_t n = ::read(fd_, data() + end_, capacity() - end_);
        if (n > 0) {
          end_ += static_cast<std::size_t>(n);
        } else if (n == 0) {
          ended_ = true;
        } else if (errno != EINTR) {
          return std::nullopt;
        }
      }
    }
    const std::size_t size = std::min(bytes, end_ - begin_);
    const std::span<const std::byte> block(data() + begin_, size);
    begin_ += size;
    return block;
  }

 private:
  static constexpr std::size_t kChunkBytes = std::size_t{4} << 20;
  std::byte* data() { return reinterpret_cast<std::byte*>(buffer_.data()); }
  std::size_t capacity() const { return buffer_.size() * sizeof(float); }

  int fd_;
  std::vector<float> buffer_;  // floats, so that blocks start aligned for float samples
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
};

// The PCM stream, written in large chunks.
class ChunkedOutput {
 public:
  bool add(std::span<const std::int16_t> samples) {
    pending_.insert(pending_.end(), samples.begin(), samples.end());
    return pending_.size() < kChunkSamples || flush();
  }
  bool flush() {
    const bool written = writeAll(STDOUT_FILENO, std::as_bytes(std::span(pending_)));
    pending_.clear();
    return written;
  }

 private:
  static constexpr std::size_t kChunkSamples = std::size_t{1} << 20;
  std::vector<std::int16_t> pending_;
};

int writeFailed() {
  std::fprintf(stderr, "quenwick-convert: writing output: %s\n", std::strerror(errno));
  return kExitFailure;
}

int run(const Options& options, int inputFd) {
  CycleConverter convert(options.quality);

  const std::uint32_t channels = options.channels;
  const std::size_t frameBytes = channels * bytesPerSample(options.layout);
  std::size_t largest = 0;
  for (const std::size_t frames : options.blocks) largest = std::max(largest, frames);
  BlockReader input(inputFd, largest * frameBytes);
  ChunkedOutput output;

  const bool planar = options.layout == SampleLayout::planar;
  std::vector<std::vector<float>> planeSamples(planar ? channels : 0, std::vector<float>(largest));
  std::vector<SamplePlane> planes(planar ? channels : 1);
  CapturedCycle cycle;
  cycle.format = describeStream(options.layout, options.rate, channels);
  cycle.formatGeneration = 1;
  cycle.planes = planes;

  for (std::size_t next = 0;; next = (next + 1) % options.blocks.size()) {
    const std::size_t wanted = options.blocks[next] * frameBytes;
    const auto block = input.next(wanted);
    if (!block) {
      std::fprintf(stderr, "quenwick-convert: reading input: %s\n", std::strerror(errno));
      return kExitFailure;
    }
    if (block->empty()) break;
    const auto* samples = reinterpret_cast<const float*>(block->data());
    // A trailing partial frame, where the input ends, is not a frame.
    cycle.frames = static_cast<std::uint32_t>(block->size() / frameBytes);
    if (planar) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        for (std::size_t f = 0; f < cycle.frames; ++f) {
          planeSamples[c][f] = samples[f * channels + c];
        }
        planes[c] = {planeSamples[c].data(), cycle.frames};
      }
    } else {
      planes[0] = {samples, cycle.frames};
    }
    if (!output.add(convert(cycle))) return writeFailed();
    if (block->size() < wanted) break;  // the input ended inside this block
  }
  return output.flush() ? 0 : writeFailed();
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parseOptions(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  int inputFd = STDIN_FILENO;
  if (!options->input.empty()) {
    inputFd = ::open(options->input.c_str(), O_RDONLY | O_CLOEXEC);
    if (inputFd < 0) {
      std::fprintf(stderr, "quenwick-convert: %s: %s\n", options->input.c_str(),
                   std::strerror(errno));
      std::fputs(kUsage, stderr);
      return kExitUsage;
    }
  }
  const int status = run(*options, inputFd);
  if (inputFd != STDIN_FILENO) ::close(inputFd);
  return status;
}
