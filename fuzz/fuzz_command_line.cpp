// The command line and the status lines it leads to. Every argument vector either parses into a
// request that a model of the rules agrees with, or fails with the catalogue message that the
// model expects; and every message, whatever bytes the offending argument holds, becomes one
// compact, valid JSON line that reads back as the message.
//
// Input: the arguments, each ended by a NUL byte (the last one may lack it); any other bytes are
// allowed inside. The first sixteen bytes also make up a "format" event.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/status.h"
#include "require.h"
#include "strict_json.h"
#include "utf8_reference.h"

namespace quenwick::fuzz {
namespace {

std::vector<std::string> splitArguments(std::string_view input) {
  std::vector<std::string> args;
  while (!input.empty()) {
    const std::size_t end = input.find('\0');
    args.emplace_back(input.substr(0, end));
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return args;
}

// The decimal rule, checked digit by digit: a sign, digits only, at most ten significant digits
// (so that the value fits 64 bits), then the 32-bit range.
std::optional<std::int32_t> modelDecimal(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  if (text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::vector<std::int32_t> modelPidList(std::string_view value) {
  std::vector<std::int32_t> pids;
  std::string piece;
  const auto finishPiece = [&] {
    if (const auto pid = modelDecimal(piece)) pids.push_back(*pid);
    piece.clear();
  };
  for (const char c : value) {
    if (c == ',') {
      finishPiece();
    } else {
      piece.push_back(c);
    }
  }
  finishPiece();
  return pids;
}

struct ModelOutcome {
  std::optional<std::string> error;  // the expected usage error message, if any
  CaptureRequest request;
};

ModelOutcome modelCommandLine(const std::vector<std::string>& args) {
  ModelOutcome outcome;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool takesValue = option == "--pids" || option == "--exclude-self";
    if (!takesValue && option != "--global") {
      outcome.error = "unknown argument " + option;
      return outcome;
    }
    if (!takesValue) {
      outcome.request.global = true;
      continue;
    }
    if (i + 1 == args.size()) {
      outcome.error = option + " needs a value";
      return outcome;
    }
    const std::string& value = args[++i];
    if (option == "--pids") {
      outcome.request.pids = modelPidList(value);
    } else {
      outcome.request.excludeSelf = modelDecimal(value).value_or(0);
    }
  }
  if (outcome.request.pids.empty() && !outcome.request.global) {
    outcome.error = "give --pids or --global";
  }
  return outcome;
}

bool isCatalogueMessage(std::string_view message) {
  return message == "--pids needs a value" || message == "--exclude-self needs a value" ||
         message == "give --pids or --global" || message.starts_with("unknown argument ");
}

// The line without its line feed, after checking that it is one whole line of valid UTF-8.
std::string_view singleLine(const std::string& line) {
  FUZZ_REQUIRE(!line.empty() && line.back() == '\n');
  FUZZ_REQUIRE(line.find('\n') == line.size() - 1);
  FUZZ_REQUIRE(isValidUtf8(line));
  return std::string_view(line).substr(0, line.size() - 1);
}

const JsonValue& onlyMember(const JsonValue& object, std::string_view key, JsonValue::Kind kind) {
  const auto found = membersNamed(object, key);
  FUZZ_REQUIRE(found.size() == 1);
  FUZZ_REQUIRE(found.front()->kind == kind);
  return *found.front();
}

std::optional<std::int64_t> jsonInteger(const JsonValue& number) {
  std::int64_t value = 0;
  const char* end = number.text.data() + number.text.size();
  const auto [ptr, ec] = std::from_chars(number.text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

void checkErrorLine(const std::string& message) {
  const auto line = statusLine({{"event", std::string("error")}, {"message", message}});
  FUZZ_REQUIRE(line.has_value());
  const auto json = parseCompactJson(singleLine(*line));
  FUZZ_REQUIRE(json.has_value());
  FUZZ_REQUIRE(json->kind == JsonValue::Kind::kObject);
  FUZZ_REQUIRE(json->keys.size() == 2);
  FUZZ_REQUIRE(onlyMember(*json, "event", JsonValue::Kind::kString).text == "error");
  const std::string& decoded = onlyMember(*json, "message", JsonValue::Kind::kString).text;
  FUZZ_REQUIRE(decoded == replaceInvalidUtf8(message));
  if (isValidUtf8(message)) FUZZ_REQUIRE(decoded == message);
}

// A "format" event built from the input: a sample rate of any 64 bits, which must give no line
// at all when it is not finite, and otherwise read back bit for bit; and a list of ids that must
// read back in order.
void checkFormatLine(double sampleRate, std::int64_t channels, bool global,
                     const std::vector<std::int32_t>& pids) {
  const std::vector<std::int64_t> wide(pids.begin(), pids.end());
  const auto line = statusLine({{"event", std::string("format")},
                                {"sample_rate", sampleRate},
                                {"channels", channels},
                                {"mode", std::string(global ? "global" : "processes")},
                                {"pids", wide}});
  if (!std::isfinite(sampleRate)) {
    FUZZ_REQUIRE(!line.has_value());
    return;
  }
  FUZZ_REQUIRE(line.has_value());
  const auto json = parseCompactJson(singleLine(*line));
  FUZZ_REQUIRE(json.has_value());
  FUZZ_REQUIRE(json->kind == JsonValue::Kind::kObject);
  FUZZ_REQUIRE(json->keys.size() == 5);
  FUZZ_REQUIRE(onlyMember(*json, "event", JsonValue::Kind::kString).text == "format");
  FUZZ_REQUIRE(onlyMember(*json, "mode", JsonValue::Kind::kString).text ==
               (global ? "global" : "processes"));

  const std::string& rateText = onlyMember(*json, "sample_rate", JsonValue::Kind::kNumber).text;
  double rate = 0.0;
  const auto [end, ec] = std::from_chars(rateText.data(), rateText.data() + rateText.size(), rate);
  FUZZ_REQUIRE(ec == std::errc() && end == rateText.data() + rateText.size());
  FUZZ_REQUIRE(std::bit_cast<std::uint64_t>(rate) == std::bit_cast<std::uint64_t>(sampleRate));

  FUZZ_REQUIRE(jsonInteger(onlyMember(*json, "channels", JsonValue::Kind::kNumber)) == channels);

  const JsonValue& list = onlyMember(*json, "pids", JsonValue::Kind::kArray);
  FUZZ_REQUIRE(list.items.size() == wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    FUZZ_REQUIRE(list.items[i].kind == JsonValue::Kind::kNumber);
    FUZZ_REQUIRE(jsonInteger(list.items[i]) == wide[i]);
  }
}

}  // namespace
}  // namespace quenwick::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenwick;
  using namespace quenwick::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> args = splitArguments(input);

  // The number rules on their own, over the whole input as one value.
  FUZZ_REQUIRE(parseDecimalInt32(input) == modelDecimal(input));
  FUZZ_REQUIRE(parsePidList(input) == modelPidList(input));

  const auto outcome = parseCommandLine(args);
  const ModelOutcome expected = modelCommandLine(args);
  if (const auto* error = std::get_if<UsageError>(&outcome)) {
    FUZZ_REQUIRE(expected.error.has_value());
    FUZZ_REQUIRE(error->message == *expected.error);
    FUZZ_REQUIRE(isCatalogueMessage(error->message));
    checkErrorLine(error->message);
  } else {
    const auto& request = std::get<CaptureRequest>(outcome);
    FUZZ_REQUIRE(!expected.error.has_value());
    FUZZ_REQUIRE(!request.pids.empty() || request.global);
    FUZZ_REQUIRE(request.pids == expected.request.pids);
    FUZZ_REQUIRE(request.global == expected.request.global);
    FUZZ_REQUIRE(request.excludeSelf == expected.request.excludeSelf);
  }

  // The first sixteen bytes, zero-padded, give a sample rate and a channel count of any bits.
  std::uint8_t head[16] = {};
  if (size > 0) std::memcpy(head, data, size < sizeof head ? size : sizeof head);
  double sampleRate = 0.0;
  std::int64_t channels = 0;
  std::memcpy(&sampleRate, head, sizeof sampleRate);
  std::memcpy(&channels, head + sizeof sampleRate, sizeof channels);
  checkFormatLine(sampleRate, channels, size % 2 == 0, modelPidList(input));
  return 0;
}
