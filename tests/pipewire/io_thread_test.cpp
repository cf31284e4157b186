#include "capture/pipewire/io_thread.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quenwick::pipewire {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kRate = 48000;

// An output that never has room, so every cycle goes through the ring to the IO thread.
int noRoom() {
  static const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

struct Delivery {
  std::uint32_t buffers;
  std::uint32_t channels;
  std::vector<float> left;
  std::vector<float> right;
  std::uint32_t outputBuffers;
  double sampleTime;
};

std::vector<float> plane(const AudioBuffer& buffer) {
  const auto* data = static_cast<const float*>(buffer.mData);
  return {data, data + buffer.mDataByteSize / sizeof(float)};
}

TEST(IoThread, DeliversEachCapturedCycleAsTwoFloatPlanes) {
  CaptureChannel channel;
  std::mutex mutex;
  std::vector<Delivery> deliveries;
  IoThread thread(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* inputTime,
          AudioBufferList* output, const AudioTimeStamp*) {
        const auto buffers = buffersOf(*input);
        std::lock_guard lock(mutex);
        deliveries.push_back(
            {input->mNumberBuffers, buffers[0].mNumberChannels + buffers[1].mNumberChannels,
             plane(buffers[0]), plane(buffers[1]), output->mNumberBuffers, inputTime->mSampleTime});
      },
      noRoom());
  thread.start();
  const std::vector<float> firstLeft = {0.5f, 0.25f};
  const std::vector<float> firstRight = {-0.5f, -0.25f};
  const std::vector<float> secondLeft = {1.0f, 0.0f, -1.0f};
  const std::vector<float> secondRight = {0.0f, 1.0f, -0.75f};
  channel.deliver(firstLeft.data(), firstRight.data(), 2, kRate);
  channel.deliver(secondLeft.data(), secondRight.data(), 3, kRate);

  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::lock_guard lock(mutex);
    if (deliveries.size() >= 2) break;
  }
  EXPECT_TRUE(thread.stop(1s));
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].buffers, 2u);
  EXPECT_EQ(deliveries[0].channels, 2u);
  EXPECT_EQ(deliveries[0].left, firstLeft);
  EXPECT_EQ(deliveries[0].right, firstRight);
  EXPECT_EQ(deliveries[0].outputBuffers, 0u);
  EXPECT_EQ(deliveries[0].sampleTime, 0.0);
  EXPECT_EQ(deliveries[1].left, secondLeft);
  EXPECT_EQ(deliveries[1].right, secondRight);
  EXPECT_EQ(deliveries[1].sampleTime, 2.0);  // frames delivered before it
}

TEST(IoThread, StopGivesUpOnABlockThatDoesNotReturn) {
  CaptureChannel channel;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  auto thread = std::make_unique<IoThread>(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
          const AudioTimeStamp*) {
        entered = true;
        while (!release) std::this_thread::sleep_for(1ms);
      },
      noRoom());
  thread->start();
  const float frame[2] = {0.1f, 0.2f};
  channel.deliver(&frame[0], &frame[1], 1, kRate);
  while (!entered) std::this_thread::sleep_for(1ms);

  EXPECT_FALSE(thread->stop(50ms));  // a host that stopped reading must not hold up teardown
  release = true;
  while (!thread->finished()) std::this_thread::sleep_for(1ms);
}

TEST(IoThread, StopsPromptlyWhenIdle) {
  CaptureChannel channel;
  int calls = 0;
  IoThread thread(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
          const AudioTimeStamp*) { ++calls; },
      noRoom());
  thread.start();
  EXPECT_TRUE(thread.stop(1s));
  EXPECT_FALSE(thread.running());
  EXPECT_EQ(calls, 0);
}

TEST(IoThread, DestroyingARunningIoProcStopsAndDetachesItFirst) {
  CaptureChannel channel;
  std::atomic<int> calls{0};
  {
    IoThread thread(
        channel,
        [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
            const AudioTimeStamp*) { calls.fetch_add(1); },
        noRoom());
    thread.start();
  }  // returns only once the thread has ended
  const float left = 0.5f;
  const float right = -0.5f;
  channel.deliver(&left, &right, 1, kRate);
  EXPECT_EQ(calls.load(), 0) << "a cycle reached a destroyed IO proc";
}

// A pipe the test reads from, at a pace it sets.
struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    if (read >= 0) close(read);
    if (write >= 0) close(write);
  }
  int read = -1;
  int write = -1;
};

// A block that writes each cycle's first sample (a cycle number) to `fd` as the host's bytes
// would go, and notes who ran it.
struct RecordingBlock {
  explicit RecordingBlock(int output) : fd(output) {}
  int fd;
  std::thread::id dataThread;
  std::vector<float> order;  // reserved up front: the block runs on the data thread too
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> onDataThread{0};
  std::atomic<int> onIoThread{0};
  std::atomic<int> done{0};

  void operator()(const AudioBufferList* input) {
    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    const auto* samples = static_cast<const float*>(input->mBuffers[0].mData);
    order.push_back(samples[0]);
    (std::this_thread::get_id() == dataThread ? onDataThread : onIoThread).fetch_add(1);
    std::vector<std::byte> bytes(input->mBuffers[0].mDataByteSize / 6);  // 16 kHz mono s16
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
    inside.fetch_sub(1);
    done.fetch_add(1);
  }

  AudioDeviceIOBlock block() {
    return [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                  AudioBufferList*, const AudioTimeStamp*) { (*this)(input); };
  }
};

TEST(IoThread, KeepsCaptureOrderWhileTheHostSwitchesBetweenKeepingUpAndStalling) {
  Pipe host;
  ASSERT_GE(host.write, 0);
  // A small pipe fills quickly; cycles are small too, so the ring holds every stall.
  ASSERT_GT(fcntl(host.write, F_SETPIPE_SZ, 32768), 0);
  constexpr std::uint32_t kCycleFrames = 128;
  CaptureChannel channel;
  RecordingBlock recorded(host.write);
  constexpr int kCycles = 3000;
  recorded.order.reserve(kCycles);
  IoThread io(channel, recorded.block(), host.write);
  io.start();

  // The host now pauses long enough to fill its pipe, now reads all there is, and now reads
  // about as fast as cycles come, so that the room comes and goes from one cycle to the next.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::mt19937 random(7);
    std::vector<std::byte> sink(65536);
    const int flags = fcntl(host.read, F_GETFL);
    fcntl(host.read, F_SETFL, flags | O_NONBLOCK);
    while (!done) {
      switch (random() % 3) {
        case 0:
          std::this_thread::sleep_for(12ms);
          break;
        case 1:
          while (::read(host.read, sink.data(), sink.size()) > 0) {
          }
          break;
        default:
          for (int i = 0; i < 200 && !done; ++i) {
            static_cast<void>(::read(host.read, sink.data(), kCycleFrames * 4 / 6 + 10));
            std::this_thread::sleep_for(50us);
          }
      }
    }
  });

  std::thread data([&] {
    recorded.dataThread = std::this_thread::get_id();
    std::vector<float> cycle(2 * kCycleFrames);
    for (int n = 0; n < kCycles; ++n) {
      cycle[0] = static_cast<float>(n);
      channel.deliver(cycle.data(), cycle.data() + kCycleFrames, kCycleFrames, kRate);
      std::this_thread::sleep_for(50us);
    }
  });
  data.join();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (channel.ring.empty() == false && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(io.stop(5s));
  done = true;
  reader.join();

  EXPECT_EQ(recorded.overlaps.load(), 0);
  ASSERT_EQ(recorded.order.size(), static_cast<std::size_t>(kCycles));
  for (int n = 0; n < kCycles; ++n) ASSERT_EQ(recorded.order[n], static_cast<float>(n)) << n;
  // Both ways were taken, so the switching between them is what the order above proves.
  EXPECT_GT(recorded.onDataThread.load(), 0);
  EXPECT_GT(recorded.onIoThread.load(), 0);
  EXPECT_EQ(channel.ring.droppedPackets(), 0u);
}

// The narrow moment of a switch: a cycle has just been queued because the output was full, the
// host then reads everything, and the next cycle comes before our thread has woken up. That
// cycle must queue behind the first rather than run at once on the data thread.
TEST(IoThread, ACycleJustQueuedIsNeverOvertakenWhenRoomComesBack) {
  Pipe host;
  ASSERT_GE(host.write, 0);
  ASSERT_GT(fcntl(host.write, F_SETPIPE_SZ, 32768), 0);
  // The test's own way into the pipe, which must not wait: a file description of its own.
  const int filler = open(("/proc/self/fd/" + std::to_string(host.write)).c_str(),
                          O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  fcntl(host.read, F_SETFL, fcntl(host.read, F_GETFL) | O_NONBLOCK);
  CaptureChannel channel;
  RecordingBlock recorded(host.write);
  constexpr int kRounds = 200;
  recorded.order.reserve(2 * kRounds);
  IoThread io(channel, recorded.block(), host.write);
  io.start();
  recorded.dataThread = std::this_thread::get_id();

  std::vector<std::byte> bytes(65536);
  std::vector<float> cycle(2 * 128);
  for (int round = 0; round < kRounds; ++round) {
    while (::write(filler, bytes.data(), 4096) > 0) {
    }
    cycle[0] = static_cast<float>(2 * round);
    channel.deliver(cycle.data(), cycle.data() + 128, 128, kRate);
    while (::read(host.read, bytes.data(), bytes.size()) > 0) {
    }
    cycle[0] = static_cast<float>(2 * round + 1);
    channel.deliver(cycle.data(), cycle.data() + 128, 128, kRate);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (recorded.done.load() < 2 * (round + 1) && std::chrono::steady_clock::now() < deadline) {
      static_cast<void>(::read(host.read, bytes.data(), bytes.size()));
    }
  }
  EXPECT_TRUE(io.stop(5s));
  close(filler);

  EXPECT_EQ(recorded.overlaps.load(), 0);
  ASSERT_EQ(recorded.order.size(), static_cast<std::size_t>(2 * kRounds));
  for (int n = 0; n < 2 * kRounds; ++n) ASSERT_EQ(recorded.order[n], static_cast<float>(n)) << n;
}

TEST(IoThread, StopWaitsForABlockTheDataThreadIsRunning) {
  Pipe host;
  ASSERT_GE(host.write, 0);
  CaptureChannel channel;
  std::atomic<bool> entered{false};
  std::atomic<bool> left{false};
  std::atomic<int> calls{0};
  IoThread io(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
          const AudioTimeStamp*) {
        calls.fetch_add(1);
        entered = true;
        std::this_thread::sleep_for(100ms);
        left = true;
      },
      host.write);
  io.start();
  const float frame[2] = {0.1f, 0.2f};
  std::thread data([&] { channel.deliver(&frame[0], &frame[1], 1, kRate); });
  while (!entered) std::this_thread::sleep_for(1ms);

  EXPECT_TRUE(io.stop(2s));
  EXPECT_TRUE(left) << "stop returned while the block still ran";
  data.join();
  channel.deliver(&frame[0], &frame[1], 1, kRate);
  EXPECT_EQ(calls.load(), 1) << "a cycle reached a stopped IO proc";
}

}  // namespace
}  // namespace quenwick::pipewire
