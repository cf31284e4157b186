#include "app/command_line.h"

#include <limits>

namespace quenwick {

std::optional<std::int32_t> parseDecimalInt32(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;

  // Accumulate the magnitude in 64 bits and stop as soon as it leaves the 32-bit range, so that
  // a thousand-digit argument cannot overflow.
  constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::vector<std::int32_t> parsePidList(std::string_view value) {
  std::vector<std::int32_t> pids;
  while (true) {
    const std::size_t comma = value.find(',');
    const std::string_view piece = value.substr(0, comma);
    if (const auto pid = parseDecimalInt32(piece)) pids.push_back(*pid);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return pids;
}

std::variant<CaptureRequest, UsageError> parseCommandLine(const std::vector<std::string>& args) {
  CaptureRequest request;
  for (std::size_t next = 0; next < args.size();) {
    const std::string& argument = args[next++];
    if (argument == "--pids") {
      if (next == args.size()) return UsageError{"--pids needs a value"};
      request.pids = parsePidList(args[next++]);
    } else if (argument == "--global") {
      request.global = true;
    } else if (argument == "--tree") {
      request.tree = true;
    } else if (argument == "--wait") {
      request.wait = true;
    } else if (argument == "--report") {
      request.report = true;
    } else if (argument == "--recover") {
      request.recover = true;
    } else if (argument == "--quality") {
      if (next == args.size()) return UsageError{"--quality needs a value"};
      const auto quality = parseQuality(args[next++]);
      if (!quality) return UsageError{"unknown quality " + args[next - 1]};
      request.quality = *quality;
    } else if (argument == "--exclude-self") {
      if (next == args.size()) return UsageError{"--exclude-self needs a value"};
      request.excludeSelf = parseDecimalInt32(args[next++]).value_or(0);
    } else {
      return UsageError{"unknown argument " + argument};
    }
  }
  if (request.pids.empty() && !request.global) return UsageError{"give --pids or --global"};
  return request;
}

}  // namespace quenwick
