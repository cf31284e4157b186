#include "app/status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quenwick {
namespace {

std::string lineOf(const StatusEvent& event) {
  return statusLine(event).value_or("<nothing>");
}

StatusEvent messageEvent(std::string message) {
  return {{"event", std::string("error")}, {"message", std::move(message)}};
}

TEST(StatusLine, WritesEveryKindCompactlyOnOneLine) {
  const StatusEvent event = {{"event", std::string("format")},
                             {"sample_rate", 48000.0},
                             {"channels", std::int64_t{2}},
                             {"mode", std::string("processes")},
                             {"pids", std::vector<std::int64_t>{101, -5, 2147483647}},
                             {"changed", true},
                             {"off", false},
                             {"fraction", 44100.5},
                             {"empty", std::vector<std::int64_t>{}}};
  EXPECT_EQ(lineOf(event),
            "{\"event\":\"format\",\"sample_rate\":48000,\"channels\":2,\"mode\":\"processes\","
            "\"pids\":[101,-5,2147483647],\"changed\":true,\"off\":false,\"fraction\":44100.5,"
            "\"empty\":[]}\n");
}

TEST(StatusLine, EscapesQuotesBackslashesAndEveryControlCharacter) {
  std::string controls;
  for (char c = 1; c < 0x20; ++c) controls.push_back(c);
  controls.push_back('\x7f');
  const std::string line = lineOf(messageEvent("unknown argument \"a\\b\"" + controls));
  EXPECT_EQ(line,
            "{\"event\":\"error\",\"message\":\"unknown argument \\\"a\\\\b\\\""
            "\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e"
            "\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019"
            "\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\\u007f\"}\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(StatusLine, KeepsANulCharacterInsideTheString) {
  EXPECT_EQ(lineOf(messageEvent(std::string("a\0b", 3))),
            "{\"event\":\"error\",\"message\":\"a\\u0000b\"}\n");
}

TEST(StatusLine, PassesValidUtf8AndReplacesEachIllFormedSequence) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x8E\xB5", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
      {"\xFF", fffd},
      {"a\x80z", "a" + fffd + "z"},
      {"\xC0\xAF", fffd + fffd},                        // overlong: both bytes are bad on their own
      {"\xE2\x82", fffd},                               // truncated at the end: one replacement
      {"\xE2\x82z", fffd + "z"},                        // truncated before an ASCII byte
      {"\xED\xA0\x80", fffd + fffd + fffd},             // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\xF0\x9F\x8E", fffd},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lineOf(messageEvent(c.in)), "{\"event\":\"error\",\"message\":\"" + c.out + "\"}\n")
        << testing::PrintToString(c.in);
  }
}

TEST(StatusLine, WritesNothingForANumberJsonCannotHold) {
  for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(statusLine({{"event", std::string("format")}, {"sample_rate", bad}}));
  }
}

}  // namespace
}  // namespace quenwick
