// A strict reader for the JSON lines the agent writes on standard error, and for the call log of
// the fake audio layer.
//
// parseJson accepts exactly one RFC 8259 value and nothing around it but blanks: no trailing
// commas, no comments, no leading zeros, no raw control characters in strings, no invalid
// escapes, lone surrogates or ill-formed UTF-8. Duplicate object keys are rejected as well,
// since none of our writers ever produces them.
//
// parseStatusLine goes further and checks the shape of a status event: an object with a string
// "event" whose values are strings, numbers, booleans or arrays of integers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quenwick::harness {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;  // in the order written

struct JsonNumber {
  double value = 0.0;
  std::optional<std::int64_t> integer;  // set when written without fraction or exponent
};

struct JsonValue {
  // Arrays and objects are held through pointers: a value cannot contain its own type.
  std::variant<std::nullptr_t, bool, JsonNumber, std::string, std::shared_ptr<const JsonArray>,
               std::shared_ptr<const JsonObject>>
      value;

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(value); }
  bool isString() const { return std::holds_alternative<std::string>(value); }
  bool isNumber() const { return std::holds_alternative<JsonNumber>(value); }
  bool isBool() const { return std::holds_alternative<bool>(value); }
  bool isArray() const { return array() != nullptr; }
  bool isObject() const { return object() != nullptr; }

  // The value as the type asked for, or nothing when it is of another type.
  std::optional<std::string> asString() const;
  std::optional<double> asNumber() const;
  std::optional<std::int64_t> asInteger() const;
  std::optional<bool> asBool() const;
  std::optional<std::vector<std::int64_t>> asIntegers() const;
  const JsonArray* array() const;
  const JsonObject* object() const;

  // Object member lookup; null when this is not an object or has no such key.
  const JsonValue* find(std::string_view key) const;
};

// One whole JSON text. On failure returns nothing and says why in `error` (if given).
std::optional<JsonValue> parseJson(std::string_view text, std::string* error = nullptr);

// The lines of a stream that must consist of whole lines: every line, the last included, ends
// with a line feed. Nothing when the text has an unterminated last line.
std::optional<std::vector<std::string>> splitLines(std::string_view text);

// One status event, checked for shape.
class StatusEvent {
 public:
  explicit StatusEvent(JsonObject fields) : fields_(std::move(fields)) {}

  std::string event() const { return *find("event")->asString(); }
  std::vector<std::string> keys() const;
  bool has(std::string_view key) const { return find(key) != nullptr; }
  const JsonValue* find(std::string_view key) const;

  // Nothing when the key is absent or holds another type.
  std::optional<std::string> string(std::string_view key) const;
  std::optional<double> number(std::string_view key) const;
  std::optional<std::int64_t> integer(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  std::optional<std::vector<std::int64_t>> integers(std::string_view key) const;

 private:
  JsonObject fields_;
};

// `line` without its line feed. Nothing, with the reason in `error`, when it is not valid JSON or
// not the shape of a status event.
std::optional<StatusEvent> parseStatusLine(std::string_view line, std::string* error = nullptr);

// Every line of a standard error capture as status events. Nothing, with the reason (and the
// offending line) in `error`, when any line is malformed or the last one is unterminated.
std::optional<std::vector<StatusEvent>> parseStatusLines(std::string_view text,
                                                         std::string* error = nullptr);

}  // namespace quenwick::harness
