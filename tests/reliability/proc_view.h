// What Linux shows of a running process under /proc: its resident memory, how many descriptors it
// holds, and the pipes behind its descriptors, which a test can open a second time (Linux opens a
// pipe named by /proc/PID/fd/N like a FIFO) to look into them without the child noticing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quenwick::reliability {

// VmRSS of `pid` in KiB; nothing when the process is gone or /proc is not there.
std::optional<std::int64_t> residentKilobytes(pid_t pid);

// The number of descriptors `pid` holds open; nothing when it cannot be read.
std::optional<std::size_t> openDescriptors(pid_t pid);

// What descriptor `fd` of `pid` refers to ("pipe:[1234]", "/dev/null"); empty when unreadable.
std::string descriptorTarget(pid_t pid, int fd);

// Opens the pipe that `pid` holds as descriptor `fd` once more, as a reader (O_RDONLY) or a
// writer (O_WRONLY), non-blocking and close-on-exec. -1 when it cannot.
int reopenPipe(pid_t pid, int fd, int accessMode);

// The bytes waiting in the pipe behind `pipeFd`.
std::optional<std::size_t> bytesQueued(int pipeFd);

}  // namespace quenwick::reliability
