// The command line: the agent's only input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "convert/quality.h"

namespace quenwick {

// What the host asked to hear.
struct CaptureRequest {
  std::vector<std::int32_t> pids;     // from --pids, in the order given; duplicates kept
  bool global = false;                // --global: the whole system, pids only reported
  std::int32_t excludeSelf = 0;       // --exclude-self; 0 means none
  bool tree = false;                  // --tree: each pid stands for its process tree
  bool wait = false;                  // --wait: nothing to hear yet waits, rather than ends
  bool report = false;                // --report: who plays, who ended, and silence, as events
  bool recover = false;               // --recover: a server that goes away is waited for
  Quality quality = Quality::linear;  // --quality: how the sound is resampled to 16 kHz
};

struct UsageError {
  std::string message;
};

// An optional sign and one or more ASCII digits, within the signed 32-bit range; nothing else.
std::optional<std::int32_t> parseDecimalInt32(std::string_view text);

// Comma-separated process ids. Empty pieces and pieces that fail to parse are dropped.
std::vector<std::int32_t> parsePidList(std::string_view value);

// Reads the arguments (without the program path) from left to right; the first bad argument
// ends the parse with its usage error.
std::variant<CaptureRequest, UsageError> parseCommandLine(const std::vector<std::string>& args);

}  // namespace quenwick
