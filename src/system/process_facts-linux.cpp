#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <sstream>
#include <string>

#include "system/process_facts.h"

namespace quenwick {

std::optional<ProcessFacts> readProcessFacts(std::int32_t pid) {
  // Plain reads: a process may end while it is read, and a stream would throw then.
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[1024];
  const ssize_t size = read(fd, text, sizeof text);
  close(fd);
  if (size <= 0) return std::nullopt;
  const std::string stat(text, static_cast<std::size_t>(size));
  // The command, field 2, is in parentheses and may hold anything; what follows it is fields 3
  // on: the state, the parent's pid (4) and, at 22, the start time in clock ticks after boot.
  const auto afterCommand = stat.rfind(')');
  if (afterCommand == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(afterCommand + 1));
  std::string field;
  ProcessFacts facts;
  // A zombie has ended, whether or not its parent has collected it yet.
  if (!(fields >> field) || field == "Z" || field == "X") return std::nullopt;
  for (int number = 4; number <= 22 && fields >> field; ++number) {
    if (number == 4) std::from_chars(field.data(), field.data() + field.size(), facts.parentPid);
    if (number == 22) {
      const auto [end, error] =
          std::from_chars(field.data(), field.data() + field.size(), facts.startTime);
      if (error == std::errc{}) return facts;
    }
  }
  return std::nullopt;
}

}  // namespace quenwick
