// Status events: the agent's only words to its host, one compact JSON object per line on
// standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quenwick {

using StatusValue =
    std::variant<std::string, double, std::int64_t, bool, std::vector<std::int64_t>>;

// Keys in the order they are written; every event carries "event".
using StatusEvent = std::vector<std::pair<std::string, StatusValue>>;

// The event's line: compact JSON and one line feed. Strings are escaped so that the line feed
// at the end is the only one; bytes that are not valid UTF-8 become U+FFFD, so that an argument
// of any bytes can still be reported. Nothing when a number is not finite.
std::optional<std::string> statusLine(const StatusEvent& event);

// Writes the event's line to standard error in one whole write; never reports a failure. Any
// thread; nothing once the lines are closed.
void status(const StatusEvent& event);

// No line is begun from now on: the process is ending.
void closeStatusLines();

// Closes the lines and writes `event` as the last one, once a line being written has gone out
// whole, or without waiting for it after `patience`.
void writeLastLine(const StatusEvent& event, std::chrono::milliseconds patience);

}  // namespace quenwick
