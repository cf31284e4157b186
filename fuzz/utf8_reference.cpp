#include "utf8_reference.h"

#include <cstddef>

namespace quenwick::fuzz {
namespace {

struct ByteRange {
  unsigned char low;
  unsigned char high;
};

struct WellFormedSequence {
  std::size_t length;
  ByteRange bytes[4];
};

// Table 3-7 of the Unicode Standard, row by row: every well-formed UTF-8 byte sequence.
constexpr WellFormedSequence kWellFormed[] = {
    {1, {{0x00, 0x7F}}},
    {2, {{0xC2, 0xDF}, {0x80, 0xBF}}},
    {3, {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}},
    {3, {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
};

bool inRange(char byte, ByteRange range) {
  const auto value = static_cast<unsigned char>(byte);
  return value >= range.low && value <= range.high;
}

struct Match {
  std::size_t length;  // bytes that follow one row of the table, at least 1
  bool complete;       // they make up the whole row
};

Match matchAt(std::string_view bytes) {
  for (const WellFormedSequence& row : kWellFormed) {
    if (!inRange(bytes[0], row.bytes[0])) continue;
    std::size_t n = 1;
    while (n < row.length && n < bytes.size() && inRange(bytes[n], row.bytes[n])) ++n;
    return {n, n == row.length};
  }
  return {1, false};
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const Match match = matchAt(bytes);
    if (!match.complete) return false;
    bytes.remove_prefix(match.length);
  }
  return true;
}

std::string replaceInvalidUtf8(std::string_view bytes) {
  std::string out;
  while (!bytes.empty()) {
    const Match match = matchAt(bytes);
    if (match.complete) {
      out.append(bytes.substr(0, match.length));
    } else {
      appendUtf8(out, U'\uFFFD');
    }
    bytes.remove_prefix(match.length);
  }
  return out;
}

void appendUtf8(std::string& out, char32_t code) {
  const auto put = [&](unsigned value) { out.push_back(static_cast<char>(value)); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

}  // namespace quenwick::fuzz
