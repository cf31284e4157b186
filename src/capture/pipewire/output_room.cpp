#include "capture/pipewire/output_room.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quenwick::pipewire {
namespace {

// A pipe holds whole pages, and a write merges into the last page only when all of its tail
// fits there, so a page may be half empty: count unread bytes twice, and two pages of slack
// at each end.
bool pipeFits(std::uint64_t capacity, std::uint64_t page, std::uint64_t unread,
              std::uint64_t bytes) {
  return 2 * unread + bytes + 4 * page <= capacity;
}

// A local stream socket waits only while what it has queued reaches its send buffer. The
// queue counts each buffer's bookkeeping as well: take twice the bytes and a page.
bool socketFits(std::uint64_t sendBuffer, std::uint64_t queued, std::uint64_t bytes) {
  return queued + 2 * bytes + 4096 <= sendBuffer;
}

}  // namespace

OutputRoom OutputRoom::probe(int fd) noexcept {
  OutputRoom room;
  struct stat status {};
  if (fstat(fd, &status) != 0) return room;
  if (S_ISFIFO(status.st_mode)) {
    const int size = fcntl(fd, F_GETPIPE_SZ);
    if (size <= 0) return room;
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return room;
    room.kind_ = Kind::pipe;
    room.capacity_ = static_cast<std::uint32_t>(size);
    room.page_ = static_cast<std::uint32_t>(page);
  } else if (S_ISSOCK(status.st_mode)) {
    int domain = 0;
    int type = 0;
    int sendBuffer = 0;
    socklen_t length = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) {
      return room;
    }
    length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
      return room;
    }
    length = sizeof sendBuffer;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) != 0 || sendBuffer <= 0) {
      return room;
    }
    room.kind_ = Kind::localSocket;
    room.capacity_ = static_cast<std::uint32_t>(sendBuffer);
  } else {
    return room;
  }
  room.fd_ = fd;
  return room;
}

bool OutputRoom::fits(std::uint32_t bytes) const noexcept {
  int held = 0;
  switch (kind_) {
    case Kind::pipe:
      return ioctl(fd_, FIONREAD, &held) == 0 && held >= 0 &&
             pipeFits(capacity_, page_, static_cast<std::uint64_t>(held), bytes);
    case Kind::localSocket:
      return ioctl(fd_, SIOCOUTQ, &held) == 0 && held >= 0 &&
             socketFits(capacity_, static_cast<std::uint64_t>(held), bytes);
    case Kind::unknown:
      break;
  }
  return false;
}

}  // namespace quenwick::pipewire
