// The PCM output against real pipes and a host that reads, stalls and catches up: every byte in
// order, whole samples only, the delivering thread never allocating, and the time of what could
// not be kept; and the packet ring under it.
#include <fcntl.h>
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "output/pcm_output.h"
#include "support/allocation_count.h"

namespace quenwick {
namespace {

using namespace std::chrono_literals;

// Each packet takes its size and a 4-byte header of the 64 bytes; one that does not fit is refused
// and the ones taken come out whole and in order.
TEST(PacketRing, TakesAPacketOnlyWhenItAndItsHeaderFit) {
  PacketRing ring(64, 40);
  std::vector<std::uint8_t> out(40);
  EXPECT_FALSE(ring.push(out.data(), 0, nullptr, 0));
  EXPECT_FALSE(ring.push(out.data(), 41, nullptr, 0));  // larger than a packet may be
  // A push of N bytes, in two parts, notes N, or -N when refused; a pop (0) notes the size that
  // came out.
  std::vector<int> noted;
  for (const int step : {28, 29, 28, 1, 0, 24, 5, 0, 1, 0, 0, 0, 40, 17, 0, 0}) {
    std::vector<std::uint8_t> packet(step);
    std::iota(packet.begin(), packet.end(), static_cast<std::uint8_t>(step));
    const auto* p = packet.data();
    if (step > 0) {
      noted.push_back(ring.push(p, step / 3, p + step / 3, step - step / 3) ? step : -step);
    } else {
      noted.push_back(static_cast<int>(ring.pop(out.data())));
      for (int i = 0; i < noted.back(); ++i) EXPECT_EQ(out[i], noted.back() + i) << i;
    }
  }
  EXPECT_EQ(noted, (std::vector{28, -29, 28, -1, 28, 24, -5, 28, 1, 24, 1, 0, 40, -17, 40, 0}));
}

// mingw-w64's sleep_for rounds down to whole milliseconds: a shorter pause is waited out there.
void holdFor(std::chrono::microseconds time) {
#if defined(_WIN32)
  const auto until = std::chrono::steady_clock::now() + time;
  while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
#else
  std::this_thread::sleep_for(time);
#endif
}

// The host's end of a pipe (of `pipeBytes`, where the system lets a pipe be sized), or of a
// stream socket, read on a thread of its own while `reading`.
struct Host {
  explicit Host(int pipeBytes = 0, bool socket = false) {
    int fds[2];
#if defined(_WIN32)
    // An anonymous pipe, of 64 KiB (the largest elsewhere) unless asked; no socket pairs.
    EXPECT_FALSE(socket);
    EXPECT_EQ(_pipe(fds, pipeBytes > 0 ? pipeBytes : 65536, _O_BINARY), 0);
    readEnd = fds[0], writeEnd = fds[1];
#else
    EXPECT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds), 0);
    readEnd = fds[0], writeEnd = fds[1];
    fcntl(readEnd, F_SETFL, O_NONBLOCK);
#endif
#ifdef F_SETPIPE_SZ
    if (pipeBytes > 0) {
      EXPECT_GT(fcntl(writeEnd, F_SETPIPE_SZ, pipeBytes), 0);
    }
#else
    static_cast<void>(pipeBytes);
#endif
  }
  ~Host() {
    stopReading();
    close(readEnd), close(writeEnd);
  }
  // Ends the reading thread and takes what it left in the pipe.
  void stopReading() {
    done = true;
    if (reader.joinable()) reader.join();
    readNow();
  }
  void startReading() {
    reader = std::thread([this] {
      while (!done) {
        if (reading) readNow();
        std::this_thread::sleep_for(100us);
      }
    });
  }
  void readNow() {
    std::byte bytes[65536];
    for (int got; (got = readWaiting(bytes, sizeof bytes)) > 0;) {
      received.insert(received.end(), bytes, bytes + got);
    }
  }
  // What the pipe holds now, without waiting.
  int readWaiting(std::byte* bytes, unsigned size) {
#if defined(_WIN32)
    DWORD held = 0;
    const auto pipe = reinterpret_cast<HANDLE>(_get_osfhandle(readEnd));
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &held, nullptr) || held == 0) return 0;
    return _read(readEnd, bytes, std::min<unsigned>(held, size));
#else
    return static_cast<int>(read(readEnd, bytes, size));
#endif
  }
  std::vector<std::int16_t> samples() const {
    std::vector<std::int16_t> samples(received.size() / 2);
    if (!samples.empty()) std::memcpy(samples.data(), received.data(), samples.size() * 2);
    return samples;
  }

  int readEnd, writeEnd;
  std::atomic<bool> reading{true}, done{false};
  std::vector<std::byte> received;
  std::thread reader;
};

// Watches this thread, makes one allocation that the compiler cannot leave out and says how many
// the count saw.
std::size_t watchAndAllocateOnce() {
  testing::watched = true;
  const std::size_t before = testing::allocationsCounted;
  int* volatile kept = new int(1);
  delete kept;
  return testing::allocationsCounted - before;
}

// While the host keeps up, each cycle is written by the thread that delivers it: its samples are
// in the pipe or socket by the time the write returns, without a wake-up of the writer thread.
// (A pipe has a twin that never waits on Linux alone, a socket on POSIX.)
TEST(PcmOutput, AHostThatKeepsUpGetsEachCycleFromTheDeliveringThreadItself) {
  std::vector<bool> sockets;
#if defined(__linux__)
  sockets.push_back(false);
#endif
#if !defined(_WIN32)
  sockets.push_back(true);
#endif
  if (sockets.empty()) GTEST_SKIP() << "no output has a twin that never waits on Windows";
  for (const bool socket : sockets) {
    Host host(0, socket);
    PcmOutput output(host.writeEnd, nullptr);
    for (int n = 0; n < 100; ++n) {
      const std::vector<std::int16_t> cycle(100 + n, static_cast<std::int16_t>(n));
      output.write(0, cycle);
      host.readNow();
      ASSERT_TRUE(host.samples() == cycle) << (socket ? "socket" : "pipe") << ", cycle " << n;
      host.received.clear();
    }
  }
}

// 10,000 cycles of any length while the host now keeps up and now stalls, its pipe small enough
// for the stalls to fill it: the host gets every sample, in order, and the delivering thread
// allocates nothing once warm, whether it writes a cycle itself or queues it.
TEST(PcmOutput, KeepsEverySampleInOrderAndAllocatesNothingWhileTheHostStallsAndCatchesUp) {
  Host host(32768);
  host.startReading();
  PcmOutput output(host.writeEnd, nullptr);
  std::mt19937 random(5);
  std::vector<std::int16_t> sent;
  std::vector<std::size_t> starts{0};
  for (int n = 0; n < 10200; ++n) {
    sent.resize(sent.size() + 1 + random() % 1024);
    std::iota(sent.begin() + starts.back(), sent.end(), static_cast<std::int16_t>(n));
    starts.push_back(sent.size());
  }
  std::size_t before = 0, control = 0;
  for (int n = 0; n < 10200; ++n) {
    if (n == 200) {
      before = testing::allocationsCounted;
      control = watchAndAllocateOnce();
    }
    host.reading = n % 300 < 240;
    output.write(0, std::span(sent).subspan(starts[n], starts[n + 1] - starts[n]));
    holdFor(200us);
  }
  testing::watched = false;
  const std::size_t counted = testing::allocationsCounted - before;
  host.reading = true;
  EXPECT_TRUE(output.drain(5s));
  host.stopReading();
  EXPECT_EQ((std::vector{control, counted}), (std::vector<std::size_t>{1, 1}))
      << "one allocation counted, then none by the output";
  EXPECT_TRUE(host.samples() == sent) << host.samples().size() << " of " << sent.size();
}

// A host that stops reading for longer than the pipe and the queue hold: each cycle that does not
// fit becomes as many zero samples, and the host gets everything else.
TEST(PcmOutput, ACycleThatDoesNotFitIsLostAsSoundButKeptAsTime) {
  // More than a pipe holds at its largest (64 KiB) and the queue (16 KiB) together.
  constexpr int kCycles = 110, kLength = 500, kAfterTheStall = 10;
  Host host;
  host.reading = false;
  host.startReading();
  PcmOutput output(host.writeEnd, nullptr, 16384);
  const auto send = [&](int n) { output.write(0, std::vector<std::int16_t>(kLength, n + 1)); };
  for (int n = 0; n < kCycles - kAfterTheStall; ++n) send(n);
  host.reading = true;
  EXPECT_TRUE(output.drain(5s));
  for (int n = kCycles - kAfterTheStall; n < kCycles; ++n) send(n);
  EXPECT_TRUE(output.drain(5s));
  host.stopReading();

  const auto samples = host.samples();
  ASSERT_EQ(samples.size(), std::size_t{kCycles * kLength});
  std::string heard;  // a letter for each cycle: 'y' whole, '0' silence, 'x' anything else
  for (int n = 0; n < kCycles; ++n) {
    const auto first = samples.begin() + n * kLength;
    heard += std::all_of(first, first + kLength, [&](std::int16_t s) { return s == n + 1; }) ? 'y'
             : std::all_of(first, first + kLength, [](std::int16_t s) { return s == 0; })    ? '0'
                                                                                             : 'x';
  }
  // The first cycles fit, and those after the stall; of the others some are lost (one fits now
  // and then, as the writer takes a packet out of the queue).
  EXPECT_EQ(heard.find_first_not_of("y0"), std::string::npos) << heard;
  EXPECT_TRUE(heard.starts_with("yyyy") && heard.ends_with(std::string(kAfterTheStall, 'y')) &&
              heard.find('0') != std::string::npos)
      << heard;
}

}  // namespace
}  // namespace quenwick
