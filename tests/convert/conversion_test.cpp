// The conversion through its public functions: worked values for the resampler and the downmix,
// and long streams of awkward samples, in every layout and at rates and read positions on the
// edges of the fast paths, cut every way, against the plain reference.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#include "convert/capture_callback.h"
#include "convert/downmix.h"
#include "convert/reference.h"
#include "convert/resampler.h"
#include "convert/sample_layout.h"

namespace quenwick {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 32);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
  double unit() { return next() / 4294967296.0; }
  // Mostly sound, with every kind of value a tap could hand over mixed in.
  float awkward() {
    const std::uint32_t pick = below(1000);
    if (pick < 3) return kNaN;
    if (pick < 7) return pick < 5 ? INFINITY : -INFINITY;
    if (pick < 20) return -0.0f;
    if (pick < 40) return std::bit_cast<float>((next() & 0x807fffffu) | 1u);  // subnormal
    if (pick < 90) return static_cast<float>(unit() - 0.5) * 8.0f;            // beyond ±1
    if (pick < 100) return std::bit_cast<float>(next());                      // any bits
    return static_cast<float>(unit() * 2.0 - 1.0);
  }
};

std::vector<std::int16_t> resample(double ratio, const std::vector<std::vector<float>>& blocks,
                                   std::vector<double>* positions = nullptr) {
  Resampler resampler;
  resampler.reset(ratio);
  std::vector<std::int16_t> out;
  for (const auto& block : blocks) {
    const auto samples = resampler.process(block);
    out.insert(out.end(), samples.begin(), samples.end());
    if (positions) positions->push_back(resampler.position);
  }
  return out;
}

TEST(Resampler, WorkedValues) {
  // Truncation toward zero after clamping, NaN as full scale wherever it takes part.
  EXPECT_EQ(resample(1.0, {{1.0f, -1.0f, 1.5f, -1.5f, 0.99999f, -0.5f, 0.5f, 1e-6f, 0}}),
            (std::vector<std::int16_t>{32767, -32767, 32767, -32767, 32766, -16383, 16383, 0}));
  EXPECT_EQ(resample(0.5, {{0, kNaN, 0}}), (std::vector<std::int16_t>{32767, 32767, 32767, 32767}));
  std::vector<double> positions;
  EXPECT_EQ(resample(0.5, {{0.0f, 1.0f, 0.5f, -1.0f}}, &positions),
            (std::vector<std::int16_t>{0, 16383, 32767, 24575, 16383, -8191}));
  EXPECT_EQ(positions, std::vector<double>{0.0});
  // Ratio 3: the block sizes decide how the samples fall, and the position runs in a cycle.
  struct Scheme {
    std::size_t size;
    std::size_t counts[3];
    double positions[3];
  };
  for (const Scheme& scheme :
       {Scheme{480, {160, 160, 160}, {1, 1, 1}}, Scheme{512, {171, 170, 171}, {2, 0, 1}},
        Scheme{481, {160, 161, 160}, {0, 2, 1}}}) {
    Resampler resampler;
    resampler.reset(3.0);
    for (std::size_t b = 0; b < 3; ++b) {
      const std::vector<float> block(scheme.size, 0.25f);
      EXPECT_EQ(resampler.process(block).size(), scheme.counts[b]) << scheme.size;
      EXPECT_EQ(resampler.position, scheme.positions[b]) << scheme.size;
    }
  }
  // A first block of one sample is all carry; an empty one changes nothing; the carry is read
  // first in the block that follows.
  Resampler resampler;
  resampler.reset(3.0);
  EXPECT_TRUE(resampler.process(std::vector<float>{0.5f}).empty());
  EXPECT_TRUE(resampler.process({}).empty());
  EXPECT_TRUE(resampler.haveCarry && resampler.carry == 0.5f && resampler.position == 0.0);
  EXPECT_EQ(resampler.process(std::vector<float>{-0.5f, 0, 0, 0}).front(), 16383);
  // Unusable ratios convert nothing and keep the state.
  for (const double ratio : {0.0, -3.0, 1.0 / 65, double(kNaN), double(INFINITY)}) {
    EXPECT_TRUE(resample(ratio, {{0.5f, 0.5f, 0.5f}}).empty()) << ratio;
  }
}

struct Buffers {
  std::vector<std::vector<float>> data;
  std::vector<AudioBuffer> records;
  Buffers(std::vector<std::vector<float>> buffers, std::uint32_t channels) : data(buffers) {
    for (auto& d : data) {
      records.push_back({channels, static_cast<std::uint32_t>(4 * d.size()), d.data()});
    }
  }
};

std::vector<float> downmixed(SampleLayout layout, std::uint32_t channels,
                             const std::vector<AudioBuffer>& records) {
  std::vector<float> mono;
  downmix(records, describeStream(layout, 48000, channels), mono);
  return mono;
}

TEST(Downmix, WorkedValues) {
  using V = std::vector<float>;
  EXPECT_EQ(downmixed(SampleLayout::f32, 2, Buffers({{0.5f, -0.25f, 1, 0}}, 2).records),
            (V{0.125f, 0.5f}));
  std::int16_t loud[] = {32767, 32767, -32768, -32768, 7};
  EXPECT_EQ(downmixed(SampleLayout::s16, 2, {{2, 8, loud}}), (V{1.0f, -32768.0f / 32767.0f}));
  // A partial frame at the end is dropped; channels 0 reads as one; further buffers are not read.
  EXPECT_EQ(downmixed(SampleLayout::s16, 1, {{0, 5, loud}}), (V{1.0f, 1.0f}));
  EXPECT_EQ(downmixed(SampleLayout::f32, 2, Buffers({{1, 1, 1}, {9, 9}}, 2).records), (V{1.0f}));
  // One buffer per channel: a null or short one is a silent channel that still counts.
  Buffers planar({{0.5f, 0.5f, 0.5f}, {0.25f}, {1, 1, 1}}, 1);
  planar.records[2].mData = nullptr;
  EXPECT_EQ(downmixed(SampleLayout::planar, 3, planar.records), (V{0.25f, 1.0f / 6, 1.0f / 6}));
  planar.records[0].mDataByteSize = 3;
  EXPECT_EQ(downmixed(SampleLayout::planar, 3, planar.records), V{});
  EXPECT_EQ(downmixed(SampleLayout::planar, 3, {}), V{});
}

// A buffer list of `frames` frames of awkward samples in `format`, each buffer in storage of
// exactly its bytes (a read beyond trips AddressSanitizer), now and then malformed.
struct List {
  std::vector<std::unique_ptr<std::byte[]>> storage;
  std::vector<std::byte> raw;
  std::vector<AudioBuffer> records;
  List(const AudioStreamBasicDescription& format, std::size_t frames, Random& random) {
    const bool planar = format.mFormatFlags & kAudioFormatFlagIsNonInterleaved;
    const std::uint32_t buffers = planar ? format.mChannelsPerFrame : 1;
    for (std::uint32_t b = 0; b < buffers; ++b) {
      std::size_t bytes = planar ? frames * 4 : frames * format.mBytesPerFrame;
      if (random.below(30) == 0) bytes = random.below(static_cast<std::uint32_t>(bytes) + 4);
      storage.push_back(std::make_unique<std::byte[]>(bytes));
      for (std::size_t at = 0; at < bytes; ++at) {
        const float value = random.awkward();
        storage.back()[at] = std::bit_cast<std::array<std::byte, 4>>(value)[at % 4];
      }
      const bool null = random.below(80) == 0;
      records.push_back({planar ? 1 : format.mChannelsPerFrame, static_cast<std::uint32_t>(bytes),
                         null ? nullptr : storage.back().get()});
    }
    if (random.below(80) == 0) records.clear();
    raw.resize(sizeof(AudioBufferList) + records.size() * sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(raw.data());
    list->mNumberBuffers = static_cast<std::uint32_t>(records.size());
    std::memcpy(list->mBuffers, records.data(), records.size() * sizeof(AudioBuffer));
  }
  const AudioBufferList* list() const {
    return reinterpret_cast<const AudioBufferList*>(raw.data());
  }
};

// Every layout and channel count at rates on the edges of the fast paths, in one stream of format
// changes, against the plain downmix and resampler; blocks of every size.
TEST(Conversion, ListsMatchThePlainReference) {
  Random random{20240611};
  ListConverter convert;
  std::uint64_t generation = 0;
  std::vector<std::int16_t> converted, expected;
  for (const double rate : {48000.0, 44100.0, 8000.0, 96000.0, 22050.0, 37800.0, 250.0,
                            16000.0 * (1.5 + 0x1p-49), 16000.0 * (3.0 - 0x1p-43), 11025.5}) {
    for (const SampleLayout layout : {SampleLayout::f32, SampleLayout::s16, SampleLayout::planar}) {
      const std::uint32_t channels = 1 + random.below(8);
      const auto format = describeStream(layout, rate, channels);
      ++generation;
      reference::Resampler plain{rate / 16000};
      for (int b = 0; b < 6; ++b) {
        const std::uint32_t pick = random.below(10);
        const std::size_t frames = pick == 0   ? random.below(3)
                                   : pick == 1 ? 20000
                                               : random.below(3000);
        const List list(format, frames, random);
        const auto samples = convert(list.list(), format, generation);
        converted.insert(converted.end(), samples.begin(), samples.end());
        plain.emit(reference::downmix(list.records, format), expected);
      }
      // Not ASSERT_EQ: a million samples are no message.
      ASSERT_TRUE(converted == expected)
          << rate << " Hz, " << nameOf(layout) << ", " << channels << " channels";
    }
  }
}

// Long blocks from any read position, so that positions reach the binades where the fast paths
// take runs of exact steps, at ratios whose steps sit halfway between two spacings or beside
// whole numbers.
TEST(Conversion, ResamplerMatchesThePlainReferenceAtAnyPosition) {
  Random random{77};
  for (const double ratio : {3.0, 2.75625, 0.5, 1.0 + 0x1p-45, 2.75 + 0x1p-44, 0.75 + 0x1p-46,
                             1.5 + 0x1p-42, 3.0 + 0x1p-51, 2.0 - 0x1p-51, 1.0 / 64, 63.99}) {
    Resampler resampler;
    resampler.reset(ratio);
    resampler.position = ratio * random.unit();
    reference::Resampler plain{ratio, resampler.position};
    std::vector<std::int16_t> got, want;
    for (int b = 0; b < 8; ++b) {
      std::vector<float> block(ratio < 0.1 ? 3000 : 1 + random.below(40000));
      for (float& x : block) x = random.awkward();
      const auto samples = resampler.process(block);
      got.assign(samples.begin(), samples.end());
      want.clear();
      plain.emit(block, want);
      ASSERT_EQ(got, want) << "ratio " << ratio << ", block " << b;
      ASSERT_EQ(resampler.position, plain.position) << "ratio " << ratio << ", block " << b;
    }
  }
}

}  // namespace
}  // namespace quenwick
