// The format hand-over under load: one thread publishes thousands of format changes while
// another streams buffer lists through the capture callback into a file. Every block written
// must be exactly what one of the published formats makes of the list, whole: a torn read, or a
// list decoded with parts of two formats, writes bytes that none of them makes.
//
// Run it under ThreadSanitizer as well (-fsanitize=thread), which also checks that the two
// threads share nothing but what the hand-over publishes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "convert/capture_callback.h"
#include "convert/format_handover.h"
#include "convert/resampler.h"

namespace quenwick {
namespace {

// Every format reads the same two-buffer list. Each pairs a layout with a rate so that the four
// give four different blocks: the planar ones average both buffers, the interleaved ones read
// the first alone (as floats or as 16-bit samples), and the rates keep 3 or 2 input frames per
// output sample. Any mix of one format's layout with another's ratio gives yet other bytes.
//
// The list holds 480 float frames per buffer, a whole number of output periods at both ratios,
// so every block comes out the same whether or not the resampler was just reset.
constexpr std::uint32_t kBufferBytes = 480 * sizeof(float);

PublishedFormat formatOf(double rate, std::uint32_t flags, std::uint32_t bytesPerFrame,
                         std::uint32_t channels) {
  PublishedFormat published;
  published.format.mSampleRate = rate;
  published.format.mFormatID = kAudioFormatLinearPCM;
  published.format.mFormatFlags = flags;
  published.format.mBytesPerFrame = bytesPerFrame;
  published.format.mBytesPerPacket = bytesPerFrame;
  published.format.mFramesPerPacket = 1;
  published.format.mChannelsPerFrame = channels;
  published.format.mBitsPerChannel = (flags & kAudioFormatFlagIsFloat) != 0 ? 32 : 16;
  published.ratio = rate / outRate;
  return published;
}

const PublishedFormat kFormats[] = {
    formatOf(48000, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 4, 2),
    formatOf(32000, kAudioFormatFlagIsSignedInteger, 2, 1),
    formatOf(48000, kAudioFormatFlagIsFloat, 4, 1),
    formatOf(32000, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 4, 2),
};
constexpr std::size_t kFormatCount = std::size(kFormats);

// The list: two float buffers with different, finite samples.
struct TwoBufferList {
  TwoBufferList() : left(kBufferBytes / sizeof(float)), right(left.size()) {
    for (std::size_t i = 0; i < left.size(); ++i) {
      left[i] = 0.8f * std::sin(static_cast<float>(i) * 0.05f);
      right[i] = 0.5f * std::cos(static_cast<float>(i) * 0.13f) - 0.25f;
    }
    storage.list.mNumberBuffers = 2;
    storage.list.mBuffers[0] = {1, kBufferBytes, left.data()};
    storage.second = {1, kBufferBytes, right.data()};
  }
  TwoBufferList(const TwoBufferList&) = delete;
  TwoBufferList& operator=(const TwoBufferList&) = delete;

  std::vector<float> left;
  std::vector<float> right;
  // The second record follows the first in memory, as in the audio layer's own lists.
  struct {
    AudioBufferList list;
    AudioBuffer second;
  } storage{};
  static_assert(sizeof(AudioBufferList) == sizeof(AudioBuffer) + 8);
};

// A file the callback writes into; read back whole at the end.
class PcmFile {
 public:
  PcmFile() {
    char path[] = "/tmp/quenwick-handover-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ >= 0) unlink(path);
  }
  ~PcmFile() {
    if (fd_ >= 0) close(fd_);
  }
  PcmFile(const PcmFile&) = delete;
  PcmFile& operator=(const PcmFile&) = delete;

  int fd() const { return fd_; }
  std::size_t size() const {
    struct stat info {};
    return fstat(fd_, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
  }
  std::string contents() const {
    std::string bytes(size(), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = pread(fd_, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

 private:
  int fd_ = -1;
};

// What one format alone makes of the list, checked to be the same for the first block after a
// reset and for the next.
std::string referenceBlock(const PublishedFormat& published, const AudioBufferList& list) {
  PcmFile file;
  FormatHandover handover;
  handover.publish(published);
  CaptureCallback callback(handover, file.fd());
  callback(&list);
  const std::string first = file.contents();
  callback(&list);
  const std::string both = file.contents();
  EXPECT_EQ(both.substr(first.size()), first) << "the block depends on the resampler's state";
  return first;
}

std::optional<std::size_t> whichFormat(const std::string& block,
                                       const std::vector<std::string>& references) {
  for (std::size_t f = 0; f < references.size(); ++f) {
    if (block == references[f]) return f;
  }
  return std::nullopt;
}

TEST(FormatHandoverStress, EveryBlockIsDecodedWithOneWholeFormat) {
  // Bursts of changes published back to back, so that reads keep meeting writes half done,
  // each burst followed by at least one block decoded in quiet, so that the burst's last
  // format can be taken whole. The reader runs at most a few blocks ahead of the bursts.
  constexpr std::size_t kBursts = 8000;
  constexpr std::size_t kBurstLength = 7;
  constexpr std::size_t kLastFormat = 1;

  const TwoBufferList input;
  const AudioBufferList& list = input.storage.list;
  std::vector<std::string> references;
  for (const auto& published : kFormats) references.push_back(referenceBlock(published, list));
  for (std::size_t a = 0; a < kFormatCount; ++a) {
    ASSERT_FALSE(references[a].empty());
    for (std::size_t b = a + 1; b < kFormatCount; ++b) {
      ASSERT_NE(references[a], references[b]) << "formats " << a << " and " << b << " collide";
    }
  }

  PcmFile file;
  FormatHandover handover;
  handover.publish(kFormats[0]);
  CaptureCallback callback(handover, file.fd());

  std::atomic<std::size_t> blocksDone{0};
  std::atomic<std::size_t> burstsDone{0};
  std::atomic<bool> publisherDone{false};
  std::vector<std::size_t> boundaries;  // the file's size after each block; reader thread only

  std::thread reader([&] {
    while (true) {
      // Read the flag before the block, so that the last block starts after the last change.
      const bool last = publisherDone.load();
      callback(&list);
      boundaries.push_back(file.size());
      blocksDone.fetch_add(1);
      if (last) break;
      while (!publisherDone.load() && blocksDone.load() > 2 * burstsDone.load() + 2) {
        std::this_thread::yield();
      }
    }
  });
  std::size_t changes = 0;
  std::thread publisher([&] {
    // The first block is decoded before any change.
    while (blocksDone.load() == 0) std::this_thread::yield();
    for (std::size_t burst = 0; burst < kBursts; ++burst) {
      const std::size_t quietBlock = blocksDone.load() + 1;
      for (std::size_t i = 0; i < kBurstLength; ++i) {
        ++changes;
        handover.publish(kFormats[changes % kFormatCount]);
      }
      burstsDone.fetch_add(1);
      while (blocksDone.load() < quietBlock) std::this_thread::yield();
    }
    while (changes % kFormatCount != kLastFormat) {
      ++changes;
      handover.publish(kFormats[changes % kFormatCount]);
    }
    publisherDone.store(true);
  });
  publisher.join();
  reader.join();

  const std::string written = file.contents();
  ASSERT_EQ(written.size(), boundaries.back());
  std::vector<std::size_t> seen(kFormatCount, 0);
  std::size_t start = 0;
  std::optional<std::size_t> first;
  std::optional<std::size_t> last;
  for (std::size_t b = 0; b < boundaries.size(); ++b) {
    const std::string block = written.substr(start, boundaries[b] - start);
    start = boundaries[b];
    const auto format = whichFormat(block, references);
    ASSERT_TRUE(format) << "block " << b << " of " << boundaries.size() << " (" << block.size()
                        << " bytes) matches no single format";
    ++seen[*format];
    if (!first) first = format;
    last = format;
  }
  EXPECT_EQ(first, 0u) << "the first block came before any change";
  EXPECT_EQ(last, kLastFormat) << "the last change was never taken";
  EXPECT_GE(changes, kBursts * kBurstLength);
  // Quiet blocks follow every burst, so changes are taken all along, not only at the end.
  for (std::size_t f = 0; f < kFormatCount; ++f) {
    EXPECT_GT(seen[f], kBursts / 100) << "format " << f << " was hardly ever taken";
  }
}

}  // namespace
}  // namespace quenwick
