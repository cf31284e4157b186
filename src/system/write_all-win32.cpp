#include "system/write_all.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "system/broken_pipe-win32.h"
#include "system/errno-win32.h"

namespace quenwick {
namespace {

std::atomic<void (*)() noexcept> brokenPipeAction{nullptr};

// A pipe in no-wait mode takes nothing while it is full; a blocking write would wait.
constexpr DWORD kFullPipeWaitMs = 1;

}  // namespace

void setBrokenPipeAction(void (*action)() noexcept) {
  brokenPipeAction.store(action);
}

bool writeAll(int fd, std::span<const std::byte> bytes) {
  // The handle itself: the C runtime's _write would turn 0x0A into 0x0D 0x0A on a descriptor in
  // text mode.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
      const DWORD error = GetLastError();
      errno = errnoOf(error);
      if (errno == EPIPE) {
        if (const auto action = brokenPipeAction.load()) action();
      }
      return false;
    }
    if (written == 0) Sleep(kFullPipeWaitMs);
    bytes = bytes.subspan(written);
  }
  return true;
}

}  // namespace quenwick
