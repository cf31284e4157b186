#include "proc_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

namespace quenwick::reliability {
namespace {

std::string fdPath(pid_t pid, int fd) {
  return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
}

std::string linkTarget(const std::string& path) {
  char buffer[256];
  const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

std::optional<std::int64_t> residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return std::nullopt;
}

std::optional<std::size_t> openDescriptors(pid_t pid) {
  DIR* directory = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (directory == nullptr) return std::nullopt;
  std::size_t count = 0;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(directory);
  return count;
}

std::string descriptorTarget(pid_t pid, int fd) {
  return linkTarget(fdPath(pid, fd));
}

int reopenPipe(pid_t pid, int fd, int accessMode) {
  return open(fdPath(pid, fd).c_str(), accessMode | O_NONBLOCK | O_CLOEXEC);
}

std::optional<std::size_t> bytesQueued(int pipeFd) {
  int queued = 0;
  if (ioctl(pipeFd, FIONREAD, &queued) != 0 || queued < 0) return std::nullopt;
  return static_cast<std::size_t>(queued);
}

}  // namespace quenwick::reliability
