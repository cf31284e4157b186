// The command line and the status lines it leads to. Any argument list either parses into the
// request the rules give or fails with the usage error they give. Every line is one line, with
// nothing between its tokens, that nlohmann reads back as the event, keys in their order and
// strings with their invalid UTF-8 replaced the way nlohmann itself replaces it: one U+FFFD per
// maximal subpart, as we do. A line with a number that is not finite is not written at all.
//
// Input: the arguments, each ended by a NUL byte (the last one may lack it). The whole input is
// also an error message, and its first sixteen bytes, zero-padded, a format's rate and channels.

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/command_line.h"
#include "app/status.h"
#include "check.h"

namespace {

using nlohmann::ordered_json;
using quenwick::CaptureRequest;

// A number as the rules read it, through the standard library: from_chars takes a '-' but no
// '+', and reports a value beyond 32 bits as out of range.
std::optional<std::int32_t> decimal(std::string_view text) {
  if (text.starts_with('+') && !text.starts_with("+-")) text.remove_prefix(1);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The request the rules give for `args`, or the message of their usage error.
std::variant<CaptureRequest, std::string> expected(const std::vector<std::string>& args) {
  CaptureRequest request;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--global") {
      request.global = true;
    } else if (option == "--tree") {
      request.tree = true;
    } else if (option == "--wait") {
      request.wait = true;
    } else if (option == "--report") {
      request.report = true;
    } else if (option == "--recover") {
      request.recover = true;
    } else if (option != "--pids" && option != "--exclude-self" && option != "--quality") {
      return "unknown argument " + option;
    } else if (++i == args.size()) {
      return option + " needs a value";
    } else if (option == "--quality") {
      if (args[i] != "high" && args[i] != "linear") return "unknown quality " + args[i];
      request.quality = args[i] == "high" ? quenwick::Quality::high : quenwick::Quality::linear;
    } else if (option == "--exclude-self") {
      request.excludeSelf = decimal(args[i]).value_or(0);
    } else {
      request.pids.clear();
      std::istringstream pieces(args[i]);
      for (std::string piece; std::getline(pieces, piece, ',');) {
        if (const auto pid = decimal(piece)) request.pids.push_back(*pid);
      }
    }
  }
  if (request.pids.empty() && !request.global) return std::string("give --pids or --global");
  return request;
}

void checkLine(const quenwick::StatusEvent& event) {
  ordered_json want = ordered_json::object();
  for (const auto& [key, value] : event) {
    want[key] = std::visit([](const auto& v) { return ordered_json(v); }, value);
  }
  want = ordered_json::parse(want.dump(-1, ' ', false, ordered_json::error_handler_t::replace));
  const auto line = quenwick::statusLine(event);
  FUZZ_CHECK(line && line->find('\n') == line->size() - 1);
  const auto read = ordered_json::parse(*line, nullptr, false);
  FUZZ_CHECK(!read.is_discarded() && read == want);
  // Compact: the only blanks are the spaces inside strings, which nlohmann's dump keeps too.
  FUZZ_CHECK(std::ranges::count(*line, ' ') == std::ranges::count(read.dump(), ' ') &&
             line->find_first_of("\t\r") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  std::istringstream stream{std::string(input)};
  for (std::string arg; std::getline(stream, arg, '\0');) args.push_back(arg);
  const auto outcome = quenwick::parseCommandLine(args);
  const auto want = expected(args);
  FUZZ_CHECK(outcome.index() == want.index());
  CaptureRequest request;  // the one a "format" line reports; none after a usage error
  if (const auto* error = std::get_if<quenwick::UsageError>(&outcome)) {
    FUZZ_CHECK(error->message == std::get<std::string>(want));
    checkLine({{"event", std::string("error")}, {"message", error->message}});
  } else {
    request = std::get<CaptureRequest>(outcome);
    const auto& model = std::get<CaptureRequest>(want);
    FUZZ_CHECK(request.pids == model.pids && request.global == model.global &&
               request.excludeSelf == model.excludeSelf && request.tree == model.tree &&
               request.wait == model.wait && request.report == model.report &&
               request.recover == model.recover && request.quality == model.quality);
  }
  checkLine({{"event", std::string("error")}, {"message", std::string(input)}});

  std::int64_t head[2] = {};  // the bits of a sample rate, and a channel count
  input.copy(reinterpret_cast<char*>(&head), sizeof head);
  const quenwick::StatusEvent format = {
      {"event", std::string("format")},
      {"sample_rate", std::bit_cast<double>(head[0])},
      {"channels", head[1]},
      {"mode", std::string(request.global ? "global" : "processes")},
      {"pids", std::vector<std::int64_t>(request.pids.begin(), request.pids.end())}};
  std::isfinite(std::bit_cast<double>(head[0])) ? checkLine(format)
                                                : FUZZ_CHECK(!quenwick::statusLine(format));
  return 0;
}
