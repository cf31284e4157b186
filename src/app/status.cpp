#include "app/status.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <span>
#include <thread>

#include "app/standard_streams.h"
#include "system/write_all.h"

namespace quenwick {
namespace {

constexpr int stderrHandle = kStatusStream;

// Status lines come from the main thread and from the parent watch's: one at a time, and none
// once the process is ending.
std::mutex statusWrites;
std::atomic<bool> closed{false};

// The lock on status lines, if it can be had within `patience`: a writer stuck on a reader that
// stopped may hold it for ever.
std::unique_lock<std::mutex> lockWithin(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::unique_lock lock(statusWrites, std::try_to_lock);
  while (!lock.owns_lock() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.try_lock();
  }
  return lock;
}

void writeLine(const StatusEvent& event) {
  if (const auto line = statusLine(event)) {
    writeAll(stderrHandle, std::as_bytes(std::span(line->data(), line->size())));
  }
}

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// The UTF-8 sequence at the start of `bytes`: how many bytes it takes and whether it is well
// formed. An ill-formed one takes its maximal subpart (the lead byte and the continuation bytes
// that could still have completed it), which one U+FFFD replaces.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};

Utf8Sequence nextSequence(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, true};

  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    const bool fits =
        i < bytes.size() && byte(i) >= (i == 1 ? low : 0x80) && byte(i) <= (i == 1 ? high : 0xBF);
    if (!fits) return {i, false};
  }
  return {length, true};
}

void appendString(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.front());
    if (c >= 0x80) {
      const Utf8Sequence sequence = nextSequence(text);
      out.append(sequence.valid ? text.substr(0, sequence.length) : replacementCharacter);
      text.remove_prefix(sequence.length);
      continue;
    }
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out.append("\\u00");
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    text.remove_prefix(1);
  }
  out.push_back('"');
}

void appendNumber(std::string& out, std::int64_t value) {
  char buffer[24];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// A whole number as plain digits (100000, never 1e+05); any other in the shortest form that
// reads back to the same value (44100.5).
void appendNumber(std::string& out, double value) {
  char buffer[400];  // the longest whole double has 309 digits
  char* const end = buffer + sizeof buffer;
  const auto result = std::trunc(value) == value
                          ? std::to_chars(buffer, end, value, std::chars_format::fixed)
                          : std::to_chars(buffer, end, value);
  out.append(buffer, result.ptr);
}

bool appendValue(std::string& out, const StatusValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    appendString(out, *text);
  } else if (const auto* number = std::get_if<double>(&value)) {
    if (!std::isfinite(*number)) return false;
    appendNumber(out, *number);
  } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    appendNumber(out, *integer);
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    out.append(*flag ? "true" : "false");
  } else {
    out.push_back('[');
    bool first = true;
    for (const std::int64_t item : std::get<std::vector<std::int64_t>>(value)) {
      if (!first) out.push_back(',');
      first = false;
      appendNumber(out, item);
    }
    out.push_back(']');
  }
  return true;
}

}  // namespace

std::optional<std::string> statusLine(const StatusEvent& event) {
  std::string line = "{";
  bool first = true;
  for (const auto& [key, value] : event) {
    if (!first) line.push_back(',');
    first = false;
    appendString(line, key);
    line.push_back(':');
    if (!appendValue(line, value)) return std::nullopt;
  }
  line.append("}\n");
  return line;
}

void status(const StatusEvent& event) {
  std::lock_guard lock(statusWrites);
  if (!closed) writeLine(event);
}

void closeStatusLines() {
  closed = true;
}

void writeLastLine(const StatusEvent& event, std::chrono::milliseconds patience) {
  closed = true;
  // A line being written goes out whole before this one.
  const auto lock = lockWithin(patience);
  writeLine(event);
}

}  // namespace quenwick
