#include "system/wakeup.h"

#include <windows.h>

#include <cerrno>

#include "system/errno-win32.h"

namespace quenwick {

Wakeup::Wakeup() {
  // Manual reset: set by every ring until drained, as a pipe holds its bytes until read.
  event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  valid_ = event_ != nullptr;
  if (!valid_) error_ = errnoOf(GetLastError());
}

Wakeup::~Wakeup() {
  if (event_ != nullptr) CloseHandle(event_);
}

void Wakeup::ring() const noexcept {
  if (event_ != nullptr) SetEvent(event_);
}

void Wakeup::drain() const noexcept {
  if (event_ != nullptr) ResetEvent(event_);
}

int Wakeup::wait(int timeoutMs) const noexcept {
  const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (event_ == nullptr) {
    Sleep(limit);
    return 0;
  }
  switch (WaitForSingleObject(event_, limit)) {
    case WAIT_OBJECT_0:
      return 1;
    case WAIT_TIMEOUT:
      return 0;
    default:
      errno = errnoOf(GetLastError());
      return -1;
  }
}

}  // namespace quenwick
