// The JSON script that a scripted audio layer plays, from the file QUENWICK_SCRIPT names.
#pragma once

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

namespace quenwick {

// Not an object when the variable names no readable JSON. The file is closed on return, before
// the agent starts: its descriptor must not take the place of one the host closed.
inline nlohmann::json readLayerScript() {
  const char* path = std::getenv("QUENWICK_SCRIPT");
  std::ifstream file(path != nullptr ? path : "");
  return nlohmann::json::parse(file, nullptr, false);
}

}  // namespace quenwick
