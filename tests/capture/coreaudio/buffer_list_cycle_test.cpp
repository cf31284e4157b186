// A tap's buffer lists, however odd, read into cycles and converted: worked values for the lists
// that Core Audio's records allow but a tap should not send, and long streams of awkward samples
// in every layout against the plain reference, which reads the lists themselves.
#include "capture/coreaudio/buffer_list_cycle.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "convert/capture_callback.h"
#include "convert/downmix.h"
#include "convert/random_samples.h"
#include "convert/reference.h"
#include "convert/sample_layout.h"
#include "support/linear_pcm.h"

namespace quenwick {
namespace {

// A list of the given records, laid out as the audio layer lays one out.
struct RecordList {
  std::vector<std::byte> raw;
  explicit RecordList(const std::vector<AudioBuffer>& records)
      : raw(sizeof(AudioBufferList) + records.size() * sizeof(AudioBuffer)) {
    auto* list = reinterpret_cast<AudioBufferList*>(raw.data());
    list->mNumberBuffers = static_cast<std::uint32_t>(records.size());
    std::copy(records.begin(), records.end(), list->mBuffers);
  }
  const AudioBufferList* list() const {
    return reinterpret_cast<const AudioBufferList*>(raw.data());
  }
};

std::vector<float> downmixed(SampleLayout layout, std::uint32_t channels,
                             const std::vector<AudioBuffer>& records) {
  PlaneRoom room;
  const RecordList list(records);
  std::vector<float> mono;
  downmix(cycleOfList(list.list(), linearPcmOf(layout, 48000, channels), room), mono);
  return mono;
}

TEST(BufferListCycle, OddListsReadAsFarAsTheirOwnBytesGo) {
  using V = std::vector<float>;
  std::int16_t loud[] = {32767, 32767, -32768, -32768, 7};
  EXPECT_EQ(downmixed(SampleLayout::s16, 2, {{2, 8, loud}}), (V{1.0f, -32768.0f / 32767.0f}));
  // A partial frame at the end is dropped; channels 0 reads as one; the buffer's own channel
  // count is the stride; further buffers are not read.
  EXPECT_EQ(downmixed(SampleLayout::s16, 1, {{0, 5, loud}}), (V{1.0f, 1.0f}));
  float ones[] = {1, 1, 1, 1}, nines[] = {9, 9};
  EXPECT_EQ(downmixed(SampleLayout::f32, 2, {{2, 12, ones}, {2, 8, nines}}), (V{1.0f}));
  EXPECT_EQ(downmixed(SampleLayout::f32, 1, {{2, 16, ones}}), (V{1.0f, 1.0f}));
  // One buffer per channel: a null or short one is a silent channel that still counts; the
  // first sets the frame count, and without its samples there is none.
  float half[] = {0.5f, 0.5f, 0.5f}, quarter[] = {0.25f};
  EXPECT_EQ(downmixed(SampleLayout::planar, 3, {{1, 12, half}, {1, 4, quarter}, {1, 12, nullptr}}),
            (V{0.25f, 1.0f / 6, 1.0f / 6}));
  EXPECT_EQ(downmixed(SampleLayout::planar, 2, {{1, 3, half}, {1, 4, quarter}}), V{});
  EXPECT_EQ(downmixed(SampleLayout::planar, 2, {{1, 12, nullptr}, {1, 12, half}}), V{});
  EXPECT_EQ(downmixed(SampleLayout::planar, 3, {}), V{});
  EXPECT_EQ(downmixed(SampleLayout::f32, 2, {{2, 16, nullptr}}), V{});
}

// A buffer list of `frames` frames of awkward samples in `format`, each buffer in storage of
// exactly its bytes (a read beyond trips AddressSanitizer), now and then malformed.
struct List {
  std::vector<std::unique_ptr<std::byte[]>> storage;
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
  }
};

// Every layout and channel count at rates on the edges of the fast paths, in one stream of format
// changes, against the plain downmix and resampler; blocks of every size.
TEST(BufferListCycle, ListsMatchThePlainReference) {
  Random random{20240611};
  CycleConverter convert;
  PlaneRoom room;
  std::uint64_t generation = 0;
  std::vector<std::int16_t> converted, expected;
  for (const double rate : {48000.0, 44100.0, 8000.0, 96000.0, 22050.0, 37800.0, 250.0,
                            16000.0 * (1.5 + 0x1p-49), 16000.0 * (3.0 - 0x1p-43), 11025.5}) {
    for (const SampleLayout layout : {SampleLayout::f32, SampleLayout::s16, SampleLayout::planar}) {
      const std::uint32_t channels = 1 + random.below(8);
      const auto format = linearPcmOf(layout, rate, channels);
      ++generation;
      reference::Resampler plain{rate / 16000};
      for (int b = 0; b < 6; ++b) {
        const std::uint32_t pick = random.below(10);
        const std::size_t frames = pick == 0   ? random.below(3)
                                   : pick == 1 ? 20000
                                               : random.below(3000);
        const List list(format, frames, random);
        const RecordList records(list.records);
        CapturedCycle cycle = cycleOfList(records.list(), format, room);
        cycle.formatGeneration = generation;
        const auto samples = convert(cycle);
        converted.insert(converted.end(), samples.begin(), samples.end());
        plain.emit(reference::downmix(list.records, format), expected);
      }
      // Not ASSERT_EQ: a million samples are no message.
      ASSERT_TRUE(converted == expected)
          << rate << " Hz, " << nameOf(layout) << ", " << channels << " channels";
    }
  }
}

}  // namespace
}  // namespace quenwick
