// The checker the agent-process tests read status lines with: it must accept exactly the shapes
// the agent writes and reject anything malformed, or the tests above would prove nothing.
#include "json_line.h"

#include <gtest/gtest.h>

namespace quenwick::harness {
namespace {

TEST(StatusLineChecker, ReadsEveryKindOfValue) {
  const auto event =
      parseStatusLine(R"({"event":"format","sample_rate":44100.5,"channels":2,"mode":"processes",)"
                      R"("pids":[101,-5,2147483647],"changed":true,"none":[]})");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->event(), "format");
  EXPECT_EQ(event->keys(), (std::vector<std::string>{"event", "sample_rate", "channels", "mode",
                                                     "pids", "changed", "none"}));
  EXPECT_EQ(event->number("sample_rate"), 44100.5);
  EXPECT_EQ(event->integer("sample_rate"), std::nullopt) << "a fraction is not an integer";
  EXPECT_EQ(event->integer("channels"), 2);
  EXPECT_EQ(event->string("mode"), "processes");
  EXPECT_EQ(event->integers("pids"), (std::vector<std::int64_t>{101, -5, 2147483647}));
  EXPECT_EQ(event->integers("none"), std::vector<std::int64_t>{});
  EXPECT_EQ(event->boolean("changed"), true);
  EXPECT_EQ(event->string("channels"), std::nullopt) << "a number is not a string";
  EXPECT_FALSE(event->has("message"));
}

TEST(StatusLineChecker, DecodesEscapesAndUtf8) {
  const auto event = parseStatusLine(
      R"({"event":"error","message":"a\"b\\c\/d\b\f\n\r\t\u0001\u00e9\ud83c\udfa7 caf)"
      "\xc3\xa9\"}");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->string("message"),
            "a\"b\\c/d\b\f\n\r\t\x01\xc3\xa9\xf0\x9f\x8e\xa7 caf\xc3\xa9");
}

struct Malformed {
  const char* name;
  std::string line;
};

void PrintTo(const Malformed& c, std::ostream* out) {
  *out << c.name;
}

class MalformedStatusLine : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedStatusLine, IsRejected) {
  std::string reason;
  EXPECT_FALSE(parseStatusLine(GetParam().line, &reason)) << GetParam().line;
  EXPECT_FALSE(reason.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MalformedStatusLine,
    ::testing::Values(
        Malformed{"Empty", ""}, Malformed{"Unterminated", R"({"event":"running")"},
        Malformed{"TrailingComma", R"({"event":"running",})"},
        Malformed{"TwoObjects", R"({"event":"running"}{"event":"running"})"},
        Malformed{"TrailingText", R"({"event":"running"} x)"},
        Malformed{"UnquotedKey", R"({event:"running"})"},
        Malformed{"SingleQuotes", R"({'event':'running'})"},
        Malformed{"BlankOutsideStrings", R"({"event": "running"})"},
        Malformed{"LineBreakInside", "{\"event\":\n\"running\"}"},
        Malformed{"RawControlCharacter", "{\"event\":\"error\",\"message\":\"a\x01\"}"},
        Malformed{"RawTab", "{\"event\":\"error\",\"message\":\"a\tb\"}"},
        Malformed{"InvalidEscape", R"({"event":"error","message":"\x41"})"},
        Malformed{"ShortUnicodeEscape", R"({"event":"error","message":"\u12"})"},
        Malformed{"LoneHighSurrogate", R"({"event":"error","message":"\ud83c"})"},
        Malformed{"LoneLowSurrogate", R"({"event":"error","message":"\udfa7"})"},
        Malformed{"InvalidUtf8", "{\"event\":\"error\",\"message\":\"caf\xff\"}"},
        Malformed{"TruncatedUtf8", "{\"event\":\"error\",\"message\":\"caf\xc3\"}"},
        Malformed{"OverlongUtf8", "{\"event\":\"error\",\"message\":\"\xc0\xaf\"}"},
        Malformed{"EncodedSurrogate", "{\"event\":\"error\",\"message\":\"\xed\xa0\x80\"}"},
        Malformed{"LeadingZero", R"({"event":"format","channels":02})"},
        Malformed{"BareFraction", R"({"event":"format","sample_rate":.5})"},
        Malformed{"NotANumberLiteral", R"({"event":"format","sample_rate":NaN})"},
        Malformed{"PlusSign", R"({"event":"format","channels":+2})"},
        Malformed{"DuplicateKey", R"({"event":"running","event":"error"})"},
        Malformed{"NoEvent", R"({"message":"parent exited"})"},
        Malformed{"EventNotAString", R"({"event":1})"},
        Malformed{"NotAnObject", R"(["event","running"])"},
        Malformed{"NestedObject", R"({"event":"format","pids":{"a":1}})"},
        Malformed{"ArrayOfStrings", R"({"event":"format","pids":["1"]})"},
        Malformed{"ArrayOfFractions", R"({"event":"format","pids":[1.5]})"},
        Malformed{"NullValue", R"({"event":"format","mode":null})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StatusLines, EveryLineMustEndWithALineFeed) {
  EXPECT_TRUE(parseStatusLines(""));
  const auto two = parseStatusLines("{\"event\":\"creating_tap\"}\n{\"event\":\"running\"}\n");
  ASSERT_TRUE(two);
  EXPECT_EQ(two->size(), 2u);
  EXPECT_FALSE(parseStatusLines("{\"event\":\"creating_tap\"}\n{\"event\":\"running\"}"));
  EXPECT_FALSE(parseStatusLines("{\"event\":\"running\"}\n\n")) << "an empty line is no event";
}

}  // namespace
}  // namespace quenwick::harness
