// The vectorised conversion against the conversion written out the plain way: the capture
// callback fed long streams of awkward samples in every layout, channel count and common rate,
// cut into random blocks and interrupted by format changes, must write the very bytes that a
// plain downmix and the plain reference resampler give. The resampler alone is also held to the
// reference at read positions and ratios chosen to sit on the edges of its shortcuts.

#include <unistd.h>

#include <gtest/gtest.h>

#include "convert/audio_buffers.h"
#include "convert/awkward_samples.h"
#include "convert/capture_callback.h"
#include "convert/downmix.h"
#include "convert/format_handover.h"
#include "convert/reference_resampler.h"
#include "convert/resampler.h"
#include "convert/sample_layout.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace quenwick {
namespace {

using reference::ReferenceResampler;

using Layout = SampleLayout;

using quenwick::samples::awkwardFloat;
using quenwick::samples::Random;

PublishedFormat formatOf(Layout layout, double rate, std::uint32_t channels) {
  return {describeStream(layout, rate, channels), rate / 16000.0};
}

// ---- The plain downmix -------------------------------------------------------------------------

// The mean over channels as the capture callback is meant to compute it, one frame and one
// channel at a time, with nothing shared with src/convert.
std::vector<float> plainDownmix(const std::vector<AudioBuffer>& buffers,
                                const AudioStreamBasicDescription& format) {
  std::vector<float> block;
  if (buffers.empty()) return block;
  if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0) {
    const AudioBuffer& buffer = buffers[0];
    if (buffer.mData == nullptr || format.mBytesPerFrame == 0) return block;
    const std::size_t frames = buffer.mDataByteSize / format.mBytesPerFrame;
    const std::size_t channels = buffer.mNumberChannels == 0 ? 1 : buffer.mNumberChannels;
    for (std::size_t f = 0; f < frames; ++f) {
      float sum = 0.0f;
      for (std::size_t c = 0; c < channels; ++c) {
        if ((format.mFormatFlags & kAudioFormatFlagIsFloat) != 0) {
          sum += static_cast<const float*>(buffer.mData)[f * channels + c];
        } else {
          const auto s = static_cast<const std::int16_t*>(buffer.mData)[f * channels + c];
          sum += static_cast<float>(s) / 32767.0f;
        }
      }
      block.push_back(sum / static_cast<float>(channels));
    }
    return block;
  }
  if (buffers[0].mData == nullptr) return block;
  const std::size_t frames = buffers[0].mDataByteSize / 4;
  block.assign(frames, 0.0f);
  for (const AudioBuffer& buffer : buffers) {
    if (buffer.mData == nullptr) continue;
    for (std::size_t f = 0; f < frames && f < buffer.mDataByteSize / 4; ++f) {
      block[f] += static_cast<const float*>(buffer.mData)[f];
    }
  }
  if (frames >= 1) {
    for (float& value : block) value /= static_cast<float>(buffers.size());
  }
  return block;
}

// ---- Buffer lists ------------------------------------------------------------------------------

// One buffer list of a given layout over samples of its own, each buffer in storage of exactly
// its byte count, so that a read beyond it trips AddressSanitizer.
class BufferList {
 public:
  BufferList(const PublishedFormat& published, std::size_t frames, Random& random) {
    const AudioStreamBasicDescription& format = published.format;
    const std::uint32_t channels = format.mChannelsPerFrame;
    if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        // Now and then a channel without data, or with fewer samples than the first; rarely
        // the first one, which silences the whole list.
        const std::uint32_t pick = random.below(60);
        if (pick == 0 && (c > 0 || random.below(8) == 0)) {
          records_.push_back({1, 0, nullptr});
          continue;
        }
        const std::size_t count = pick == 1 && c > 0 ? random.below(frames + 1) : frames;
        addBuffer(1, count * 4, random, true);
      }
    } else {
      const bool isFloat = (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
      // Now and then a trailing partial frame, which is not part of the block.
      const std::size_t partial = random.below(20) == 0 ? random.below(format.mBytesPerFrame) : 0;
      addBuffer(channels, frames * format.mBytesPerFrame + partial, random, isFloat);
    }
  }

  const std::vector<AudioBuffer>& records() const { return records_; }

  // The records laid out as the audio layer's variable-length list.
  const AudioBufferList* list() {
    const std::size_t count = std::max<std::size_t>(records_.size(), 1);
    const std::size_t bytes = offsetof(AudioBufferList, mBuffers) + count * sizeof(AudioBuffer);
    raw_ = std::make_unique<std::byte[]>(bytes);
    auto* list = new (raw_.get()) AudioBufferList{};
    list->mNumberBuffers = static_cast<std::uint32_t>(records_.size());
    std::memcpy(raw_.get() + offsetof(AudioBufferList, mBuffers), records_.data(),
                records_.size() * sizeof(AudioBuffer));
    return list;
  }

 private:
  void addBuffer(std::uint32_t channels, std::size_t bytes, Random& random, bool isFloat) {
    auto data = std::make_unique<std::byte[]>(bytes);
    for (std::size_t at = 0; at + 4 <= bytes; at += 4) {
      if (isFloat) {
        const float value = awkwardFloat(random);
        std::memcpy(data.get() + at, &value, 4);
      } else {
        const std::uint32_t value = random.next();
        std::memcpy(data.get() + at, &value, 4);
      }
    }
    if (bytes % 4 >= 2) data[bytes - 2] = data[bytes - 1] = std::byte{0x80};
    if (bytes % 2 == 1) data[bytes - 1] = std::byte{0x7f};
    records_.push_back({channels, static_cast<std::uint32_t>(bytes), data.get()});
    storage_.push_back(std::move(data));
  }

  std::vector<std::unique_ptr<std::byte[]>> storage_;
  std::vector<AudioBuffer> records_;
  std::unique_ptr<std::byte[]> raw_;
};

// A block size as the audio layer might deliver them, and now and then one that is not.
std::size_t blockSize(Random& random) {
  const std::uint32_t pick = random.below(40);
  if (pick == 0) return 0;
  if (pick == 1) return 1;
  if (pick == 2) return 9000 + random.below(12000);  // larger than any block before
  if (pick < 8) return 2 + random.below(16);
  return 64 + random.below(2000);
}

bool sameSamples(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // The output never depends on which NaN it is, only on its being one.
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  }
  return true;
}

// Everything written to a file descriptor, read back.
class Capture {
 public:
  Capture() : file_(std::tmpfile()) {}
  ~Capture() {
    if (file_ != nullptr) std::fclose(file_);
  }
  int fd() const { return fileno(file_); }
  std::vector<std::int16_t> samples() const {
    const off_t end = lseek(fd(), 0, SEEK_END);
    std::vector<std::int16_t> out(static_cast<std::size_t>(end) / 2);
    EXPECT_EQ(pread(fd(), out.data(), out.size() * 2, 0), static_cast<ssize_t>(out.size() * 2));
    return out;
  }

 private:
  std::FILE* file_;
};

// ---- Tests -------------------------------------------------------------------------------------

TEST(FastPathExactness, CaptureCallbackMatchesThePlainConversion) {
  const double rates[] = {48000, 8000, 32000, 16000, 96000, 44100, 22050, 11025, 37800};
  const Layout layouts[] = {Layout::f32, Layout::s16, Layout::planar};

  // Every rate in every layout with every channel count from 1 to 8, in a shuffled order, one
  // after another in one stream: each is a format change that resets the conversion.
  struct Segment {
    double rate;
    Layout layout;
    std::uint32_t channels;
  };
  std::vector<Segment> segments;
  for (const double rate : rates) {
    for (const Layout layout : layouts) {
      for (std::uint32_t channels = 1; channels <= 8; ++channels) {
        segments.push_back({rate, layout, channels});
      }
    }
  }
  Random random{20240611};
  for (std::size_t i = segments.size(); i > 1; --i) {
    std::swap(segments[i - 1], segments[random.below(static_cast<std::uint32_t>(i))]);
  }

  Capture capture;
  FormatHandover handover;
  CaptureCallback callback(handover, capture.fd());
  ReferenceResampler reference;
  std::vector<std::int16_t> expected;
  std::vector<float> mono;

  for (const Segment& segment : segments) {
    SCOPED_TRACE(testing::Message() << segment.rate << " Hz, " << nameOf(segment.layout) << ", "
                                    << segment.channels << " channels");
    const PublishedFormat published = formatOf(segment.layout, segment.rate, segment.channels);
    handover.publish(published);
    reference = ReferenceResampler{published.ratio};

    const int blocks = 3 + static_cast<int>(random.below(6));
    for (int b = 0; b < blocks; ++b) {
      // Now and then the same format again: a reset without a change.
      if (random.below(12) == 0) {
        handover.publish(published);
        reference = ReferenceResampler{published.ratio};
      }
      BufferList buffers(published, blockSize(random), random);
      const auto plain = plainDownmix(buffers.records(), published.format);

      // The downmix on its own, to the bit; then the whole path, to the byte.
      downmix(buffers.records(), published.format, mono);
      ASSERT_TRUE(sameSamples(mono, plain)) << "downmix of block " << b;

      callback(buffers.list());
      reference.emit(plain, expected);
    }
    const auto written = capture.samples();
    ASSERT_EQ(written.size(), expected.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
      ASSERT_EQ(written[i], expected[i]) << "sample " << i << " of " << written.size();
    }
  }
}

// Ratios that sit on the edges of the resampler's shortcuts: steps that add exactly only while
// the positions are small, steps that lie halfway between two multiples of a binade's spacing
// (where rounding to even alternates), steps just beside whole numbers, and the smallest ratio.
TEST(FastPathExactness, ResamplerMatchesTheReferenceOnEdgeRatios) {
  const double ratios[] = {
      3.0,
      6.0,
      0.5,
      2.75625,                      // 44100 Hz
      1.378125,                     // 22050 Hz
      0.6890625,                    // 11025 Hz
      2.3625,                       // 37800 Hz
      1.0 + std::ldexp(1.0, -45),   // halfway in [256, 512)
      2.75 + std::ldexp(1.0, -44),  // halfway in [512, 1024)
      0.75 + std::ldexp(1.0, -46),  // halfway in [128, 256)
      1.5 + std::ldexp(1.0, -42),   // halfway in [2048, 4096)
      3.0 - std::ldexp(1.0, -43),
      3.0 + std::ldexp(1.0, -51),
      1.0 + std::ldexp(1.0, -52),
      2.0 - std::ldexp(1.0, -51),
      1.0 / 64.0,
      1.0 / 64.0 + std::ldexp(1.0, -50),
      7.999999999,
      63.99,
  };
  Random random{77};
  for (const double ratio : ratios) {
    for (int start = 0; start < 4; ++start) {
      SCOPED_TRACE(testing::Message() << "ratio " << ratio << " start " << start);
      // From 0, from a short binary fraction, and from two arbitrary positions below the ratio.
      const double position = start == 0   ? 0.0
                              : start == 1 ? 0.375 * ratio
                                           : ratio * random.unit() * 0.999;
      Resampler resampler;
      resampler.reset(ratio);
      resampler.position = position;
      ReferenceResampler expected{ratio, position};
      std::vector<std::int16_t> want;
      for (int b = 0; b < 16; ++b) {
        std::size_t size = blockSize(random);
        if (b % 5 == 4) size = 16384 + random.below(20000);  // positions up to 2^15 and beyond
        if (ratio < 0.1) size = std::min<std::size_t>(size, 3000);
        std::vector<float> block(size);
        for (float& x : block) x = awkwardFloat(random);
        want.clear();
        expected.emit(block, want);
        const auto got = resampler.process(block);
        ASSERT_EQ(got.size(), want.size()) << "block " << b << " of " << size;
        for (std::size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ(got[i], want[i]) << "block " << b << " sample " << i;
        }
        ASSERT_EQ(std::bit_cast<std::uint64_t>(resampler.position),
                  std::bit_cast<std::uint64_t>(expected.position))
            << "block " << b;
        ASSERT_EQ(resampler.haveCarry, expected.haveCarry);
      }
    }
  }
}

}  // namespace
}  // namespace quenwick
