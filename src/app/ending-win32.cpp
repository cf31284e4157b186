#include <windows.h>

#include "app/process_exit.h"

namespace quenwick {

// ExitProcess would first run the DLLs' detach code, which a thread stopped in the middle of
// the audio stack or the C runtime can hang.
void exitProcess(int status) noexcept {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) Sleep(INFINITE);  // the termination is under way and never returns to this thread
}

}  // namespace quenwick
