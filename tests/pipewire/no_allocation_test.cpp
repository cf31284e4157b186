// The PipeWire layer's path from the data thread to the PCM write allocates nothing once warm:
// 10,000 captured cycles go through the capture channel into the real capture callback, while
// the host now keeps up and now stalls, so that the data thread runs the block itself at times
// and hands cycles through the ring to the IO thread at others. Every allocation on both
// threads is counted.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "capture/pipewire/io_thread.h"
#include "convert/capture_callback.h"
#include "convert/format_handover.h"
#include "convert/sample_layout.h"
#include "support/allocation_count.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace quenwick::pipewire {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kLargestFrames = CaptureChannel::kMaxPacketBytes / 8;
constexpr int kCycles = 10000;

TEST(NoAllocation, DataThreadAndIoThreadAllocateNothingOnceWarm) {
  testing::startCountingAllocations();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  const int hostRead = fds[0];
  const int hostWrite = fds[1];
  // A small pipe, so that the host's pauses fill it and cycles go to the IO thread.
  ASSERT_GT(fcntl(hostWrite, F_SETPIPE_SZ, 32768), 0);
  fcntl(hostRead, F_SETFL, fcntl(hostRead, F_GETFL) | O_NONBLOCK);

  FormatHandover handover;
  handover.publish({describeStream(SampleLayout::planar, kRate, 2), kRate / 16000.0});
  CaptureCallback callback(handover, hostWrite);
  std::thread::id dataThread;
  std::atomic<bool> watchIo{false};
  std::atomic<int> onDataThread{0};
  std::atomic<int> onIoThread{0};
  CaptureChannel channel;
  IoThread io(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
          AudioBufferList*, const AudioTimeStamp*) {
        const bool mine = std::this_thread::get_id() == dataThread;
        if (!mine) testing::watchThisThread(watchIo.load());
        callback(input);
        if (watchIo.load()) (mine ? onDataThread : onIoThread).fetch_add(1);
      },
      hostWrite);
  io.start();

  std::atomic<bool> done{false};
  std::thread host([&] {
    std::mt19937 random(11);
    std::vector<std::byte> sink(65536);
    while (!done) {
      std::this_thread::sleep_for(random() % 6 == 0 ? 8ms : 200us);
      while (::read(hostRead, sink.data(), sink.size()) > 0) {
      }
    }
  });

  std::size_t control = 0;
  std::size_t steady = 0;
  std::uint64_t droppedBefore = 0;
  std::thread data([&] {
    dataThread = std::this_thread::get_id();
    std::vector<float> samples(2 * kLargestFrames);
    std::mt19937 random(5);
    std::uniform_real_distribution<float> level(-1.2f, 1.2f);
    for (float& s : samples) s = level(random);
    auto deliver = [&](std::uint32_t frames) {
      channel.deliver(samples.data(), samples.data() + kLargestFrames, frames, kRate);
    };
    // Warm-up: the largest cycle, whichever thread runs it, grows the callback's room.
    for (int i = 0; i < 200; ++i) {
      deliver(i % 2 == 0 ? kLargestFrames : 1024);
      std::this_thread::sleep_for(1ms);
    }
    testing::watchThisThread(true);
    control = testing::countedOfTwoAllocations();
    watchIo = true;
    droppedBefore = channel.ring.droppedPackets();
    testing::resetAllocationCount();
    for (int i = 0; i < kCycles; ++i) {
      const std::uint32_t r = static_cast<std::uint32_t>(random());
      deliver(r % 16 == 0 ? kLargestFrames : 1 + r % 1024);
      std::this_thread::sleep_for(200us);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!channel.ring.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    steady = testing::allocationsCounted();
    testing::watchThisThread(false);
  });
  data.join();
  watchIo = false;
  EXPECT_TRUE(io.stop(5s));
  done = true;
  host.join();
  close(hostRead);
  close(hostWrite);

  EXPECT_EQ(control, 2u) << "allocations on the watched thread go uncounted";
  EXPECT_GT(onDataThread.load(), 0) << "the data thread never ran the block";
  EXPECT_GT(onIoThread.load(), 0) << "no cycle went through the ring";
  // A dropped cycle would leave part of the path unwatched.
  EXPECT_EQ(channel.ring.droppedPackets(), droppedBefore);
  EXPECT_EQ(steady, 0u) << "the capture path allocated once warm";
}

}  // namespace
}  // namespace quenwick::pipewire
