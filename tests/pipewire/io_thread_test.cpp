#include "capture/pipewire/io_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace quenwick::pipewire {
namespace {

using namespace std::chrono_literals;

struct Delivery {
  std::uint32_t buffers;
  std::uint32_t channels;
  std::vector<float> samples;
  std::uint32_t outputBuffers;
  double sampleTime;
};

TEST(IoThread, DeliversEachCapturedCycleAsOneInterleavedStereoBuffer) {
  CaptureChannel channel;
  std::mutex mutex;
  std::vector<Delivery> deliveries;
  IoThread thread(channel, [&](const AudioTimeStamp*, const AudioBufferList* input,
                               const AudioTimeStamp* inputTime, AudioBufferList* output,
                               const AudioTimeStamp*) {
    const auto* data = static_cast<const float*>(input->mBuffers[0].mData);
    std::lock_guard lock(mutex);
    deliveries.push_back({input->mNumberBuffers,
                          input->mBuffers[0].mNumberChannels,
                          {data, data + input->mBuffers[0].mDataByteSize / sizeof(float)},
                          output->mNumberBuffers,
                          inputTime->mSampleTime});
  });
  thread.start();
  const std::vector<float> first = {0.5f, -0.5f, 0.25f, -0.25f};
  const std::vector<float> second = {1.0f, 0.0f, 0.0f, 1.0f, -1.0f, -1.0f};
  ASSERT_TRUE(channel.ring.push(first.data(), 16));
  channel.doorbell.ring();
  ASSERT_TRUE(channel.ring.push(second.data(), 24));
  channel.doorbell.ring();

  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::lock_guard lock(mutex);
    if (deliveries.size() >= 2) break;
  }
  EXPECT_TRUE(thread.stop(1s));
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].buffers, 1u);
  EXPECT_EQ(deliveries[0].channels, 2u);
  EXPECT_EQ(deliveries[0].samples, first);
  EXPECT_EQ(deliveries[0].outputBuffers, 0u);
  EXPECT_EQ(deliveries[0].sampleTime, 0.0);
  EXPECT_EQ(deliveries[1].samples, second);
  EXPECT_EQ(deliveries[1].sampleTime, 2.0);  // frames delivered before it
}

TEST(IoThread, StopGivesUpOnABlockThatDoesNotReturn) {
  CaptureChannel channel;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  auto thread = std::make_unique<IoThread>(
      channel, [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                   AudioBufferList*, const AudioTimeStamp*) {
        entered = true;
        while (!release) std::this_thread::sleep_for(1ms);
      });
  thread->start();
  const float frame[2] = {0.1f, 0.2f};
  ASSERT_TRUE(channel.ring.push(frame, sizeof frame));
  channel.doorbell.ring();
  while (!entered) std::this_thread::sleep_for(1ms);

  EXPECT_FALSE(thread->stop(50ms));  // a host that stopped reading must not hold up teardown
  release = true;
  while (!thread->finished()) std::this_thread::sleep_for(1ms);
}

TEST(IoThread, StopsPromptlyWhenIdle) {
  CaptureChannel channel;
  int calls = 0;
  IoThread thread(channel, [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                               AudioBufferList*, const AudioTimeStamp*) { ++calls; });
  thread.start();
  EXPECT_TRUE(thread.stop(1s));
  EXPECT_FALSE(thread.running());
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace quenwick::pipewire
