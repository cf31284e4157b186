#include "app/standard_streams.h"

#include <fcntl.h>
#include <io.h>

#include <initializer_list>

namespace quenwick {

// The agent writes with WriteFile on the descriptors' handles (system/write_all-win32.cpp), which
// no text mode touches; binary descriptors keep it so for anything that writes through the C
// runtime.
void prepareStandardStreams() {
  for (const int fd : {kPcmStream, kStatusStream}) _setmode(fd, _O_BINARY);
}

}  // namespace quenwick
