// Status lines: every kind of value written compactly, strings escaped so that the line feed at
// the end is the only one, and bytes that are not UTF-8 replaced, one U+FFFD per maximal subpart.
#include "app/status.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quenwick {
namespace {

std::optional<std::string> messageLine(std::string message) {
  return statusLine({{"event", std::string("error")}, {"message", std::move(message)}});
}

TEST(StatusLine, WritesEveryKindCompactly) {
  EXPECT_EQ(statusLine({{"event", std::string("format")},
                        {"sample_rate", 48000.0},
                        {"channels", std::int64_t{2}},
                        {"pids", std::vector<std::int64_t>{101, -5, 2147483647}},
                        {"changed", true},
                        {"off", false},
                        {"fraction", 44100.5},
                        {"whole", 100000.0},
                        {"tiny", 0.1},
                        {"empty", std::vector<std::int64_t>{}}}),
            "{\"event\":\"format\",\"sample_rate\":48000,\"channels\":2,"
            "\"pids\":[101,-5,2147483647],\"changed\":true,\"off\":false,\"fraction\":44100.5,"
            "\"whole\":100000,\"tiny\":0.1,\"empty\":[]}\n");
  for (const double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
    EXPECT_EQ(statusLine({{"event", std::string("format")}, {"sample_rate", bad}}), std::nullopt);
  }
}

TEST(StatusLine, EscapesAndReplacesWhatJsonCannotCarry) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> cases[] = {
      {"\"a\\b\"", "\\\"a\\\\b\\\""},
      {std::string("\x01\x02\b\t\n\x0b\f\r\x1e\x1f\x7f\0z", 13),
       "\\u0001\\u0002\\b\\t\\n\\u000b\\f\\r\\u001e\\u001f\\u007f\\u0000z"},
      {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5 \xF4\x8F\xBF\xBF",
       "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5 \xF4\x8F\xBF\xBF"},
      {"\xFF\xFE\xC0\xC1\xF5", r + r + r + r + r},
      {"a\x80z", "a" + r + "z"},
      {"\xC0\xAF", r + r},                  // overlong two-byte form
      {"\xE0\x80\x80", r + r + r},          // overlong three-byte form
      {"\xF0\x80\x80\x80", r + r + r + r},  // overlong four-byte form
      {"\xED\xA0\x80", r + r + r},          // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xE2\x82", r},                      // cut short at the end: one replacement
      {"\xE2\x82z\xF0\x9F\x8E", r + "z" + r},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(messageLine(in), "{\"event\":\"error\",\"message\":\"" + out + "\"}\n")
        << testing::PrintToString(in);
  }
}

}  // namespace
}  // namespace quenwick
