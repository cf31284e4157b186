#include <unistd.h>

#include "app/process_exit.h"

namespace quenwick {

void exitProcess(int status) noexcept {
  _exit(status);
}

}  // namespace quenwick
