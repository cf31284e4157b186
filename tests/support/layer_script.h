// The JSON script that a scripted audio layer plays, from the file QUENWICK_SCRIPT names, and
// the call log it writes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace quenwick {

// Ends the process with a status of its own when the variable names no readable JSON object:
// status events own standard error, and a broken test set-up is no agent's failure. The file is
// closed on return, before the agent starts: its descriptor must not take the place of one the
// host closed.
inline nlohmann::json readLayerScript() {
  const char* path = std::getenv("QUENWICK_SCRIPT");
  std::ifstream file(path != nullptr ? path : "");
  nlohmann::json script = nlohmann::json::parse(file, nullptr, false);
  if (script.is_object()) return script;
  static const char line[] = "scripted layer: QUENWICK_SCRIPT names no JSON script\n";
  (void)!write(STDERR_FILENO, line, sizeof line - 1);
  _exit(125);
}

// The file the script's "log" names: one JSON object per line, one write(2) each, so that it is
// whole however the process ends.
class CallLog {
 public:
  explicit CallLog(const nlohmann::json& script)
      : fd_(script.contains("log") ? open(script["log"].get<std::string>().c_str(),
                                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                                   : -1) {}
  void operator()(const nlohmann::json& line) const {
    if (fd_ < 0) return;
    const std::string text = line.dump() + "\n";
    (void)!write(fd_, text.data(), text.size());
  }

 private:
  int fd_;
};

}  // namespace quenwick
