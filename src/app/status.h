// Status events: the agent's only words to its host, one compact JSON object per line on
// standard error.
#pragma once

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
// thread; nothing once the process is ending.
void status(const StatusEvent& event);

// The process ends without a line: no status line is begun from now on. False when it is
// ending already, another way.
bool endQuietly();

// Writes the "error" event with `message`, as the last line, and ends the process with `code`,
// within about a second whatever the reader of standard error does. Any thread; when the process
// is ending already, another way, it waits for that.
[[noreturn]] void fail(std::string_view message, int code = 1);

}  // namespace quenwick
