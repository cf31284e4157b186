#include "strict_json.h"

#include <cstddef>

#include "utf8_reference.h"

namespace quenwick::fuzz {
namespace {

// Deeper than any status line, shallow enough that a hostile text cannot exhaust the stack.
constexpr int kMaxDepth = 32;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    auto result = value(0);
    if (!result || pos_ != text_.size()) return std::nullopt;
    return result;
  }

 private:
  bool atEnd() const { return pos_ == text_.size(); }
  char peek() const { return text_[pos_]; }

  bool take(char c) {
    if (atEnd() || peek() != c) return false;
    ++pos_;
    return true;
  }

  bool takeWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<JsonValue> value(int depth) {
    if (depth > kMaxDepth || atEnd()) return std::nullopt;
    JsonValue result;
    switch (peek()) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"': {
        auto decoded = string();
        if (!decoded) return std::nullopt;
        result.kind = JsonValue::Kind::kString;
        result.text = std::move(*decoded);
        return result;
      }
      case 't':
      case 'f':
        result.kind = JsonValue::Kind::kBoolean;
        result.boolean = peek() == 't';
        if (!takeWord(result.boolean ? "true" : "false")) return std::nullopt;
        return result;
      case 'n':
        if (!takeWord("null")) return std::nullopt;
        return result;
      default:
        return number();
    }
  }

  std::optional<JsonValue> object(int depth) {
    take('{');
    JsonValue result;
    result.kind = JsonValue::Kind::kObject;
    if (take('}')) return result;
    while (true) {
      auto key = string();
      if (!key || !take(':')) return std::nullopt;
      auto member = value(depth + 1);
      if (!member) return std::nullopt;
      result.keys.push_back(std::move(*key));
      result.items.push_back(std::move(*member));
      if (take(',')) continue;
      if (take('}')) return result;
      return std::nullopt;
    }
  }

  std::optional<JsonValue> array(int depth) {
    take('[');
    JsonValue result;
    result.kind = JsonValue::Kind::kArray;
    if (take(']')) return result;
    while (true) {
      auto item = value(depth + 1);
      if (!item) return std::nullopt;
      result.items.push_back(std::move(*item));
      if (take(',')) continue;
      if (take(']')) return result;
      return std::nullopt;
    }
  }

  bool digits() {
    const std::size_t start = pos_;
    while (!atEnd() && isDigit(peek())) ++pos_;
    return pos_ > start;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  std::optional<JsonValue> number() {
    const std::size_t start = pos_;
    take('-');
    if (!take('0')) {
      if (atEnd() || peek() < '1' || peek() > '9') return std::nullopt;
      digits();
    }
    if (take('.') && !digits()) return std::nullopt;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return std::nullopt;
    }
    JsonValue result;
    result.kind = JsonValue::Kind::kNumber;
    result.text = std::string(text_.substr(start, pos_ - start));
    return result;
  }

  std::optional<char32_t> hexQuad() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    char32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      int digit;
      if (isDigit(c)) {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      code = code * 16 + static_cast<char32_t>(digit);
    }
    return code;
  }

  // After "\u": one escaped scalar value, a surrogate pair counting as one.
  std::optional<char32_t> unicodeEscape() {
    auto code = hexQuad();
    if (!code || (*code >= 0xDC00 && *code <= 0xDFFF)) return std::nullopt;
    if (*code < 0xD800 || *code > 0xDBFF) return code;
    if (!takeWord("\\u")) return std::nullopt;
    const auto low = hexQuad();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
    return 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
  }

  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string decoded;
    while (true) {
      if (atEnd()) return std::nullopt;
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return decoded;
      if (c < 0x20) return std::nullopt;  // control characters must be escaped
      if (c != '\\') {
        decoded.push_back(static_cast<char>(c));
        continue;
      }
      if (atEnd()) return std::nullopt;
      switch (text_[pos_++]) {
        case '"':
          decoded.push_back('"');
          break;
        case '\\':
          decoded.push_back('\\');
          break;
        case '/':
          decoded.push_back('/');
          break;
        case 'b':
          decoded.push_back('\b');
          break;
        case 'f':
          decoded.push_back('\f');
          break;
        case 'n':
          decoded.push_back('\n');
          break;
        case 'r':
          decoded.push_back('\r');
          break;
        case 't':
          decoded.push_back('\t');
          break;
        case 'u': {
          const auto code = unicodeEscape();
          if (!code) return std::nullopt;
          appendUtf8(decoded, *code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<JsonValue> parseCompactJson(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  return Parser(text).document();
}

std::vector<const JsonValue*> membersNamed(const JsonValue& object, std::string_view key) {
  std::vector<const JsonValue*> found;
  for (std::size_t i = 0; i < object.keys.size(); ++i) {
    if (object.keys[i] == key) found.push_back(&object.items[i]);
  }
  return found;
}

}  // namespace quenwick::fuzz
