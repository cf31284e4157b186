#include "capture/linux/runtime_library.h"

#include <dlfcn.h>

#include <string>

namespace quenwick {

std::variant<std::vector<void*>, CaptureFailure> openRuntimeLibrary(
    const RuntimeLibrary& library, std::span<const char* const> functions) {
  const std::string couldNot = std::string("could not load ") + library.server + ": ";
  // Local: nothing of the agent's own resolves against it; the server's modules link it themselves.
  void* handle = dlopen(library.soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* said = dlerror();
    return CaptureFailure{couldNot + library.soname + " cannot be opened (" +
                          (said ? said : "no reason given") + "). Install " + library.server +
                          "'s client library: " + library.whatToInstall + "."};
  }
  // Every function is taken before any is called.
  std::vector<void*> taken;
  std::string lacking;
  for (const char* name : functions) {
    taken.push_back(dlsym(handle, name));
    if (taken.back() == nullptr) lacking += (lacking.empty() ? "" : ", ") + std::string(name);
  }
  if (!lacking.empty()) {
    dlclose(handle);
    return CaptureFailure{couldNot + library.soname + " lacks " + lacking + ". Install a newer " +
                          library.server + " client library: " + library.whatToInstall + "."};
  }
  return taken;
}

}  // namespace quenwick
