// A strict reader for the JSON of status lines (RFC 8259), written for the fuzz targets: it
// accepts exactly one JSON text and nothing the grammar leaves out, and it also rejects every
// blank outside strings, since a status line is compact.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenwick::fuzz {

struct JsonValue {
  enum class Kind { kNull, kBoolean, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;               // a number as written, or a string decoded to UTF-8
  std::vector<JsonValue> items;   // array elements, or object member values
  std::vector<std::string> keys;  // object member names, decoded, parallel to `items`
};

// The value of `text`, which must be valid UTF-8 and hold one compact JSON text with nothing
// before or after it. Escapes that name a lone surrogate are rejected, so that every decoded
// string is valid UTF-8. Duplicate member names are kept, in order.
std::optional<JsonValue> parseCompactJson(std::string_view text);

// The members of `object` called `key`.
std::vector<const JsonValue*> membersNamed(const JsonValue& object, std::string_view key);

}  // namespace quenwick::fuzz
