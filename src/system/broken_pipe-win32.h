// Windows has no SIGPIPE. What a write to a pipe whose reader has gone does first, as SIGPIPE's
// handler would elsewhere, before the write fails with EPIPE. Windows only.
#pragma once

namespace quenwick {

// Any thread; nothing is done until one is set.
void setBrokenPipeAction(void (*action)() noexcept);

}  // namespace quenwick
