#include "capture/pipewire/output_room.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace quenwick::pipewire {
namespace {

struct Ends {
  int reader = -1;
  int writer = -1;
  ~Ends() {
    if (reader >= 0) close(reader);
    if (writer >= 0) close(writer);
  }
};

// Writes without waiting until the output is full; returns how much went in.
std::size_t fill(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::vector<char> bytes(1366);
  std::size_t total = 0;
  ssize_t n = 0;
  while ((n = write(fd, bytes.data(), bytes.size())) > 0) total += static_cast<std::size_t>(n);
  return total;
}

void drain(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::vector<char> bytes(65536);
  while (read(fd, bytes.data(), bytes.size()) > 0) {
  }
}

TEST(OutputRoom, APipeOrALocalSocketHasRoomWhileItsReaderKeepsUp) {
  for (const bool socket : {false, true}) {
    SCOPED_TRACE(socket ? "socket pair" : "pipe");
    Ends ends;
    int fds[2];
    ASSERT_EQ(
        socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) : pipe2(fds, O_CLOEXEC),
        0);
    ends.reader = fds[0];
    ends.writer = fds[1];
    const OutputRoom room = OutputRoom::probe(ends.writer);

    EXPECT_TRUE(room.fits(1366));
    EXPECT_FALSE(room.fits(16u << 20)) << "more than the output can ever hold";
    const std::size_t held = fill(ends.writer);
    ASSERT_GT(held, 0u);
    EXPECT_FALSE(room.fits(2)) << "full, with " << held << " bytes unread";
    drain(ends.reader);
    EXPECT_TRUE(room.fits(1366)) << "read again";
  }
}

TEST(OutputRoom, AHalfFullPipeHasNoRoomForWhatMightNotFitInItsPages) {
  Ends ends;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ends.reader = fds[0];
  ends.writer = fds[1];
  const int capacity = fcntl(ends.writer, F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  // Writes of just over half a page each take a page of their own: the pipe is full long before
  // its byte count reaches its size.
  const std::size_t write = static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 2 + 1;
  std::vector<char> bytes(write);
  const OutputRoom room = OutputRoom::probe(ends.writer);
  fcntl(ends.writer, F_SETFL, fcntl(ends.writer, F_GETFL) | O_NONBLOCK);
  int accepted = 0;
  while (room.fits(static_cast<std::uint32_t>(write))) {
    ASSERT_EQ(::write(ends.writer, bytes.data(), write), static_cast<ssize_t>(write))
        << "room was promised but the write would have waited, after " << accepted;
    ++accepted;
  }
  EXPECT_GT(accepted, 0);
}

TEST(OutputRoom, OtherOutputsAreNeverKnownToHaveRoom) {
  char file[] = "/tmp/quenwick-room-XXXXXX";
  const int regular = mkstemp(file);
  ASSERT_GE(regular, 0);
  unlink(file);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int datagram[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, datagram), 0);

  EXPECT_FALSE(OutputRoom::probe(regular).fits(1));
  EXPECT_FALSE(OutputRoom::probe(null).fits(1));
  EXPECT_FALSE(OutputRoom::probe(datagram[0]).fits(1));
  EXPECT_FALSE(OutputRoom::probe(-1).fits(1));
  EXPECT_FALSE(OutputRoom{}.fits(1));
  for (int fd : {regular, null, datagram[0], datagram[1]}) close(fd);
}

}  // namespace
}  // namespace quenwick::pipewire
