// The capture callback allocates nothing on the IO thread once warmed up: every allocation made
// on the thread under test is counted while 10,000 buffer lists of varying layouts and sizes
// stream through the callback, with format changes published from another thread meanwhile.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "convert/audio_buffers.h"
#include "convert/capture_callback.h"
#include "convert/format_handover.h"
#include "convert/sample_layout.h"
#include "support/allocation_count.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

namespace quenwick {
namespace {

constexpr std::uint32_t kMaxChannels = 8;
// The warm-up sends blocks of kWarmFrames, more than the callback reserves room for up front, so
// that its room grows there. The steady state stays within them: mostly the block sizes of a
// real device, now and then a large one.
constexpr std::size_t kWarmFrames = 12000;
constexpr std::size_t kUsualFrames = 4096;
constexpr int kLists = 10000;

using Layout = SampleLayout;

PublishedFormat formatOf(Layout layout, double rate, std::uint32_t channels) {
  return {describeStream(layout, rate, channels), rate / 16000.0};
}

// The formats the stream cycles through, from 4 kHz (four output samples per input frame) to
// 192 kHz, in each layout.
std::vector<PublishedFormat> formats() {
  return {formatOf(Layout::f32, 48000, 2),   formatOf(Layout::planar, 44100, 8),
          formatOf(Layout::s16, 96000, 6),   formatOf(Layout::f32, 4000, 1),
          formatOf(Layout::planar, 8000, 2), formatOf(Layout::s16, 11025, 1),
          formatOf(Layout::f32, 192000, 8),  formatOf(Layout::planar, 37800, 3)};
}

// Everything the IO thread touches, made before it is watched: sample storage for the largest
// block in any layout and a buffer list with room for every channel.
struct Feed {
  Feed()
      : interleaved(kWarmFrames * kMaxChannels, 0.25f),
        planes(kMaxChannels, std::vector<float>(kWarmFrames, -0.5f)),
        raw(offsetof(AudioBufferList, mBuffers) + kMaxChannels * sizeof(AudioBuffer)) {
    list = new (raw.data()) AudioBufferList{};
    for (std::uint32_t c = 1; c < kMaxChannels; ++c) new (record(c)) AudioBuffer{};
  }

  AudioBuffer* record(std::uint32_t c) {
    return std::launder(reinterpret_cast<AudioBuffer*>(
        raw.data() + offsetof(AudioBufferList, mBuffers) + c * sizeof(AudioBuffer)));
  }

  // A list of `frames` frames laid out as `format` describes.
  const AudioBufferList* fill(const AudioStreamBasicDescription& format, std::size_t frames) {
    const std::uint32_t channels = format.mChannelsPerFrame;
    if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) {
      list->mNumberBuffers = channels;
      for (std::uint32_t c = 0; c < channels; ++c) {
        *record(c) = {1, static_cast<std::uint32_t>(frames * 4), planes[c].data()};
      }
    } else {
      list->mNumberBuffers = 1;
      *record(0) = {channels, static_cast<std::uint32_t>(frames * format.mBytesPerFrame),
                    interleaved.data()};
    }
    return list;
  }

  std::vector<float> interleaved;
  std::vector<std::vector<float>> planes;
  std::vector<std::byte> raw;
  AudioBufferList* list = nullptr;
};

TEST(NoAllocation, CaptureCallbackAllocatesNothingOnTheIoThreadOnceWarm) {
  testing::startCountingAllocations();
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(devNull, 0);
  const auto cycle = formats();

  FormatHandover handover;
  handover.publish(cycle.front());
  CaptureCallback callback(handover, devNull);
  Feed feed;

  std::atomic<int> converted{0};
  std::size_t controlAllocations = 0;
  std::size_t steadyAllocations = 0;

  std::thread io([&] {
    // The thread's own first allocations (thread start-up, lazily bound symbols) are not the
    // callback's business: it is watched only from here.
    testing::watchThisThread(true);

    // The count must see an allocation when there is one, through malloc and through new.
    controlAllocations = testing::countedOfTwoAllocations();

    // Warm-up: the largest block in every format, so that any room the callback keeps has grown
    // as far as this stream will ever need.
    std::uint64_t generation = 0;
    PublishedFormat current = cycle.front();
    for (const PublishedFormat& published : cycle) {
      handover.publish(published);
      callback(feed.fill(published.format, kWarmFrames));
      callback(feed.fill(published.format, 1));
    }
    handover.takeNewer(generation, current);

    // Steady state: varying sizes in whatever format the main thread last published.
    testing::resetAllocationCount();
    std::uint32_t seed = 12345;
    for (int i = 0; i < kLists; ++i) {
      handover.takeNewer(generation, current);
      seed = seed * 1664525u + 1013904223u;
      const std::size_t largest = (seed & 15) == 0 ? kWarmFrames : kUsualFrames;
      const std::size_t frames = (seed >> 8) % (largest + 1);
      callback(feed.fill(current.format, frames));
      converted.store(i + 1, std::memory_order_release);
    }
    steadyAllocations = testing::allocationsCounted();
    testing::watchThisThread(false);
  });

  // Format changes while the stream runs, from this thread as the main queue would make them.
  // They begin only after the warm-up has published its own.
  while (converted.load(std::memory_order_acquire) == 0) std::this_thread::yield();
  int published = 0;
  for (int next = 500; next < kLists; next += 500) {
    while (converted.load(std::memory_order_acquire) < next) std::this_thread::yield();
    handover.publish(cycle[static_cast<std::size_t>(published++) % cycle.size()]);
  }
  io.join();
  ::close(devNull);

  EXPECT_EQ(controlAllocations, 2u) << "allocations on the watched thread go uncounted";
  EXPECT_EQ(published, kLists / 500 - 1);
  EXPECT_EQ(steadyAllocations, 0u) << "the capture callback allocated on the IO thread";
}

}  // namespace
}  // namespace quenwick
