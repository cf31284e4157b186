#include "json_line.h"

#include <charconv>
#include <cstdlib>

namespace quenwick::harness {
namespace {

constexpr int maxDepth = 32;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> parseDocument(std::string* error) {
    skipBlanks();
    auto value = parseValue(0);
    if (value) {
      skipBlanks();
      if (pos_ != text_.size()) {
        value.reset();
        setError("unexpected text after the value");
      }
    }
    if (!value && error != nullptr) {
      *error = error_ + " at byte " + std::to_string(errorPos_);
    }
    return value;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  void setError(std::string message) {
    if (error_.empty()) {
      error_ = std::move(message);
      errorPos_ = pos_;
    }
  }

  void skipBlanks() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      ++pos_;
    }
  }

  bool consume(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<JsonValue> parseValue(int depth) {
    if (depth > maxDepth) {
      setError("nested too deeply");
      return std::nullopt;
    }
    if (atEnd()) {
      setError("missing value");
      return std::nullopt;
    }
    switch (peek()) {
      case '{':
        return parseObject(depth);
      case '[':
        return parseArray(depth);
      case '"': {
        auto text = parseString();
        if (!text) return std::nullopt;
        return JsonValue{std::move(*text)};
      }
      case 't':
        if (consume("true")) return JsonValue{true};
        break;
      case 'f':
        if (consume("false")) return JsonValue{false};
        break;
      case 'n':
        if (consume("null")) return JsonValue{nullptr};
        break;
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return parseNumber();
    }
    setError("not a JSON value");
    return std::nullopt;
  }

  std::optional<JsonValue> parseObject(int depth) {
    ++pos_;  // '{'
    JsonObject members;
    skipBlanks();
    if (!atEnd() && peek() == '}') {
      ++pos_;
      return JsonValue{std::make_shared<const JsonObject>(std::move(members))};
    }
    while (true) {
      skipBlanks();
      if (atEnd() || peek() != '"') {
        setError("expected a key");
        return std::nullopt;
      }
      auto key = parseString();
      if (!key) return std::nullopt;
      for (const auto& member : members) {
        if (member.first == *key) {
          setError("duplicate key \"" + *key + "\"");
          return std::nullopt;
        }
      }
      skipBlanks();
      if (atEnd() || peek() != ':') {
        setError("expected ':'");
        return std::nullopt;
      }
      ++pos_;
      skipBlanks();
      auto value = parseValue(depth + 1);
      if (!value) return std::nullopt;
      members.emplace_back(std::move(*key), std::move(*value));
      skipBlanks();
      if (atEnd()) {
        setError("unterminated object");
        return std::nullopt;
      }
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        return JsonValue{std::make_shared<const JsonObject>(std::move(members))};
      }
      setError("expected ',' or '}'");
      return std::nullopt;
    }
  }

  std::optional<JsonValue> parseArray(int depth) {
    ++pos_;  // '['
    JsonArray elements;
    skipBlanks();
    if (!atEnd() && peek() == ']') {
      ++pos_;
      return JsonValue{std::make_shared<const JsonArray>(std::move(elements))};
    }
    while (true) {
      skipBlanks();
      auto value = parseValue(depth + 1);
      if (!value) return std::nullopt;
      elements.push_back(std::move(*value));
      skipBlanks();
      if (atEnd()) {
        setError("unterminated array");
        return std::nullopt;
      }
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        return JsonValue{std::make_shared<const JsonArray>(std::move(elements))};
      }
      setError("expected ',' or ']'");
      return std::nullopt;
    }
  }

  std::optional<JsonValue> parseNumber() {
    const std::size_t start = pos_;
    if (peek() == '-') ++pos_;
    const auto digits = [&] {
      std::size_t count = 0;
      while (!atEnd() && peek() >= '0' && peek() <= '9') {
        ++pos_;
        ++count;
      }
      return count;
    };
    const std::size_t intStart = pos_;
    const std::size_t intDigits = digits();
    if (intDigits == 0) {
      setError("a number needs digits");
      return std::nullopt;
    }
    if (intDigits > 1 && text_[intStart] == '0') {
      pos_ = intStart;
      setError("leading zero");
      return std::nullopt;
    }
    bool integral = true;
    if (!atEnd() && peek() == '.') {
      ++pos_;
      integral = false;
      if (digits() == 0) {
        setError("a fraction needs digits");
        return std::nullopt;
      }
    }
    if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      integral = false;
      if (!atEnd() && (peek() == '+' || peek() == '-')) ++pos_;
      if (digits() == 0) {
        setError("an exponent needs digits");
        return std::nullopt;
      }
    }
    const std::string literal(text_.substr(start, pos_ - start));
    JsonNumber number;
    number.value = std::strtod(literal.c_str(), nullptr);
    if (integral) {
      std::int64_t whole = 0;
      const auto result = std::from_chars(literal.data(), literal.data() + literal.size(), whole);
      if (result.ec == std::errc{} && result.ptr == literal.data() + literal.size()) {
        number.integer = whole;
      }
    }
    return JsonValue{number};
  }

  std::optional<unsigned> parseHex4() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  static void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  // The length of the well-formed UTF-8 sequence at pos_, or 0 when it is ill-formed.
  std::size_t utf8Length() const {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text_[pos_ + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return 0;
    }
    if (text_.size() - pos_ < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
      if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
  }

  std::optional<std::string> parseString() {
    ++pos_;  // '"'
    std::string out;
    while (true) {
      if (atEnd()) {
        setError("unterminated string");
        return std::nullopt;
      }
      const unsigned char c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) {
        setError("raw control character in a string");
        return std::nullopt;
      }
      if (c >= 0x80) {
        const std::size_t length = utf8Length();
        if (length == 0) {
          setError("ill-formed UTF-8");
          return std::nullopt;
        }
        out.append(text_.substr(pos_, length));
        pos_ += length;
        continue;
      }
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        ++pos_;
        continue;
      }
      ++pos_;
      if (atEnd()) {
        setError("unterminated escape");
        return std::nullopt;
      }
      const char escape = text_[pos_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out.push_back(escape);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          auto code = parseHex4();
          if (!code) {
            setError("bad \\u escape");
            return std::nullopt;
          }
          if (*code >= 0xDC00 && *code <= 0xDFFF) {
            setError("lone low surrogate");
            return std::nullopt;
          }
          if (*code >= 0xD800 && *code <= 0xDBFF) {
            if (!consume("\\u")) {
              setError("lone high surrogate");
              return std::nullopt;
            }
            const auto low = parseHex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) {
              setError("lone high surrogate");
              return std::nullopt;
            }
            *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
          }
          appendUtf8(out, *code);
          break;
        }
        default:
          --pos_;
          setError("invalid escape");
          return std::nullopt;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
  std::size_t errorPos_ = 0;
};

const JsonValue* findIn(const JsonObject& object, std::string_view key) {
  for (const auto& member : object) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> JsonValue::asString() const {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::nullopt;
}

std::optional<double> JsonValue::asNumber() const {
  if (const auto* number = std::get_if<JsonNumber>(&value)) return number->value;
  return std::nullopt;
}

std::optional<std::int64_t> JsonValue::asInteger() const {
  if (const auto* number = std::get_if<JsonNumber>(&value)) return number->integer;
  return std::nullopt;
}

std::optional<bool> JsonValue::asBool() const {
  if (const auto* flag = std::get_if<bool>(&value)) return *flag;
  return std::nullopt;
}

std::optional<std::vector<std::int64_t>> JsonValue::asIntegers() const {
  const JsonArray* elements = array();
  if (elements == nullptr) return std::nullopt;
  std::vector<std::int64_t> integers;
  for (const auto& element : *elements) {
    const auto integer = element.asInteger();
    if (!integer) return std::nullopt;
    integers.push_back(*integer);
  }
  return integers;
}

const JsonArray* JsonValue::array() const {
  const auto* held = std::get_if<std::shared_ptr<const JsonArray>>(&value);
  return held == nullptr ? nullptr : held->get();
}

const JsonObject* JsonValue::object() const {
  const auto* held = std::get_if<std::shared_ptr<const JsonObject>>(&value);
  return held == nullptr ? nullptr : held->get();
}

const JsonValue* JsonValue::find(std::string_view key) const {
  const JsonObject* members = object();
  return members == nullptr ? nullptr : findIn(*members, key);
}

std::optional<JsonValue> parseJson(std::string_view text, std::string* error) {
  return Parser(text).parseDocument(error);
}

std::optional<std::vector<std::string>> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string> StatusEvent::keys() const {
  std::vector<std::string> names;
  for (const auto& member : fields_) names.push_back(member.first);
  return names;
}

const JsonValue* StatusEvent::find(std::string_view key) const {
  return findIn(fields_, key);
}

std::optional<std::string> StatusEvent::string(std::string_view key) const {
  const auto* value = find(key);
  return value == nullptr ? std::nullopt : value->asString();
}

std::optional<double> StatusEvent::number(std::string_view key) const {
  const auto* value = find(key);
  return value == nullptr ? std::nullopt : value->asNumber();
}

std::optional<std::int64_t> StatusEvent::integer(std::string_view key) const {
  const auto* value = find(key);
  return value == nullptr ? std::nullopt : value->asInteger();
}

std::optional<bool> StatusEvent::boolean(std::string_view key) const {
  const auto* value = find(key);
  return value == nullptr ? std::nullopt : value->asBool();
}

std::optional<std::vector<std::int64_t>> StatusEvent::integers(std::string_view key) const {
  const auto* value = find(key);
  return value == nullptr ? std::nullopt : value->asIntegers();
}

std::optional<StatusEvent> parseStatusLine(std::string_view line, std::string* error) {
  const auto fail = [&](std::string reason) -> std::optional<StatusEvent> {
    if (error != nullptr) *error = std::move(reason);
    return std::nullopt;
  };
  // Compact: the writer adds no blanks and no line breaks of its own.
  bool inString = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\n' || c == '\r') return fail("line break inside the line");
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '\t') {
      return fail("not compact: a blank outside strings");
    }
  }
  std::string parseError;
  auto value = parseJson(line, &parseError);
  if (!value) return fail("not JSON: " + parseError);
  const JsonObject* object = value->object();
  if (object == nullptr) return fail("not a JSON object");
  for (const auto& [key, member] : *object) {
    const bool allowed = member.isString() || member.isNumber() || member.isBool() ||
                         (member.isArray() && member.asIntegers().has_value());
    if (!allowed) return fail("\"" + key + "\" holds a value no status event carries");
  }
  const auto* event = findIn(*object, "event");
  if (event == nullptr || !event->isString()) return fail("no string \"event\"");
  return StatusEvent(*object);
}

std::optional<std::vector<StatusEvent>> parseStatusLines(std::string_view text,
                                                         std::string* error) {
  const auto lines = splitLines(text);
  if (!lines) {
    if (error != nullptr) *error = "the last line has no line feed";
    return std::nullopt;
  }
  std::vector<StatusEvent> events;
  for (const auto& line : *lines) {
    std::string reason;
    auto event = parseStatusLine(line, &reason);
    if (!event) {
      if (error != nullptr) *error = reason + ": " + line;
      return std::nullopt;
    }
    events.push_back(std::move(*event));
  }
  return events;
}

}  // namespace quenwick::harness
