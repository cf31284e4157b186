#include "convert/pcm_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace quenwick {
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    read = fds[0];
    write = fds[1];
    // The smallest pipe the kernel allows, so that a large write must be taken in many parts.
    EXPECT_GT(fcntl(write, F_SETPIPE_SZ, 4096), 0);
  }
  ~Pipe() {
    if (read >= 0) close(read);
    if (write >= 0) close(write);
  }
};

std::vector<std::byte> numbered(std::size_t size) {
  std::vector<std::byte> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::byte>((i * 7 + i / 251) & 0xff);
  return bytes;
}

// Reads everything until end of file in small pieces, pausing now and then, with SIGALRM
// blocked so that the signals go to the writing thread.
std::vector<std::byte> readSlowly(int fd) {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);

  std::vector<std::byte> received;
  std::byte chunk[1000];
  for (int reads = 0;; ++reads) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "read failed: " << errno;
      break;
    }
    received.insert(received.end(), chunk, chunk + n);
    if (reads % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return received;
}

TEST(WriteAll, DeliversEveryByteThroughASmallPipe) {
  for (const bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    Pipe pipe;
    if (nonBlocking) fcntl(pipe.write, F_SETFL, fcntl(pipe.write, F_GETFL) | O_NONBLOCK);
    const auto sent = numbered(1 << 20);

    std::vector<std::byte> received;
    std::thread reader([&] { received = readSlowly(pipe.read); });
    EXPECT_TRUE(writeAll(pipe.write, sent));
    close(pipe.write);
    pipe.write = -1;
    reader.join();
    EXPECT_TRUE(received == sent);
  }
}

std::atomic<int> alarms{0};
void countAlarm(int) {
  alarms.fetch_add(1, std::memory_order_relaxed);
}

TEST(WriteAll, SurvivesSignalsDuringABlockedWrite) {
  struct sigaction action {};
  action.sa_handler = countAlarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write returns early
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);

  Pipe pipe;
  const auto sent = numbered(4 << 20);
  std::vector<std::byte> received;
  std::thread reader([&] { received = readSlowly(pipe.read); });

  alarms = 0;
  itimerval every{{0, 500}, {0, 500}};
  setitimer(ITIMER_REAL, &every, nullptr);
  const bool written = writeAll(pipe.write, sent);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  close(pipe.write);
  pipe.write = -1;
  reader.join();
  sigaction(SIGALRM, &previous, nullptr);

  EXPECT_TRUE(written);
  EXPECT_GT(alarms.load(), 0) << "no signal arrived during the write";
  EXPECT_TRUE(received == sent);
}

TEST(WritePcm, WritesLowByteFirst) {
  Pipe pipe;
  const std::int16_t samples[] = {0x0102, -2, -32767};
  ASSERT_TRUE(writePcm(pipe.write, samples));
  std::uint8_t bytes[7] = {};
  ASSERT_EQ(read(pipe.read, bytes, sizeof bytes), 6);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 6),
            (std::vector<std::uint8_t>{0x02, 0x01, 0xfe, 0xff, 0x01, 0x80}));
}

TEST(WriteAll, ReportsADeadDescriptor) {
  Pipe pipe;
  close(pipe.read);
  pipe.read = -1;
  const auto previous = signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(writeAll(pipe.write, numbered(16)));
  signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace quenwick
