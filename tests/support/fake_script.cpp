#include "fake_script.h"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "convert/sample_layout.h"

namespace quenwick::harness {
namespace {

using Words = std::vector<std::string_view>;

Words splitWords(std::string_view line) {
  Words words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const auto start = line.find_first_not_of(" \t\r", pos);
    if (start == std::string_view::npos) break;
    auto end = line.find_first_of(" \t\r", start);
    if (end == std::string_view::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    pos = end;
  }
  return words;
}

template <typename Integer>
std::optional<Integer> parseInteger(std::string_view word) {
  Integer value{};
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
    base = 16;
  }
  const auto result = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (word.empty() || result.ec != std::errc{} || result.ptr != word.data() + word.size()) {
    return std::nullopt;
  }
  return value;
}

// A four-character code written as 'abcd', or a signed decimal status.
std::optional<OSStatus> parseStatus(std::string_view word) {
  if (word.size() == 6 && word.front() == '\'' && word.back() == '\'') {
    std::uint32_t code = 0;
    for (std::size_t i = 1; i < 5; ++i) code = (code << 8) | static_cast<unsigned char>(word[i]);
    return static_cast<OSStatus>(code);
  }
  return parseInteger<OSStatus>(word);
}

std::optional<double> parseRate(std::string_view word) {
  const std::string text(word);
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') return std::nullopt;
  return value;
}

std::optional<FormatReply> parseFormat(const Words& words, std::string* error) {
  const auto bad = [&](std::string reason) -> std::optional<FormatReply> {
    *error = std::move(reason);
    return std::nullopt;
  };
  FormatReply reply;
  if (!words.empty() && words[0] == "fail") {
    const auto status = words.size() == 2 ? parseStatus(words[1]) : std::nullopt;
    if (!status || *status == kAudioHardwareNoError) return bad("expected: fail STATUS (not 0)");
    reply.status = *status;
    return reply;
  }
  if (words.size() < 3) return bad("expected: RATE CHANNELS f32|s16|planar [FIELD=VALUE...]");
  const auto rate = parseRate(words[0]);
  const auto channels = parseInteger<std::uint32_t>(words[1]);
  if (!rate) return bad("bad rate");
  if (!channels) return bad("bad channel count");

  const auto layout = parseSampleLayout(words[2]);
  if (!layout) return bad("unknown layout " + std::string(words[2]));
  AudioStreamBasicDescription& f = reply.format;
  f = describeStream(*layout, *rate, *channels);

  for (std::size_t i = 3; i < words.size(); ++i) {
    const auto eq = words[i].find('=');
    if (eq == std::string_view::npos) return bad("expected FIELD=VALUE: " + std::string(words[i]));
    const auto field = words[i].substr(0, eq);
    const auto value = words[i].substr(eq + 1);
    if (field == "id") {
      if (value.size() != 4) return bad("id takes four characters");
      std::uint32_t code = 0;
      for (const char c : value) code = (code << 8) | static_cast<unsigned char>(c);
      f.mFormatID = code;
      continue;
    }
    const auto number = parseInteger<std::uint32_t>(value);
    if (!number) return bad("bad value for " + std::string(field));
    if (field == "flags") {
      f.mFormatFlags = *number;
    } else if (field == "bpp") {
      f.mBytesPerPacket = *number;
    } else if (field == "fpp") {
      f.mFramesPerPacket = *number;
    } else if (field == "bpf") {
      f.mBytesPerFrame = *number;
    } else if (field == "bits") {
      f.mBitsPerChannel = *number;
    } else {
      return bad("unknown field " + std::string(field));
    }
  }
  return reply;
}

std::optional<SampleSource> parseSource(const Words& args, std::string* error) {
  SampleSource source;
  if (args.size() == 1 && args[0] == "ramp") return source;
  if (args.size() == 3 && args[0] == "sine") {
    const auto frequency = parseRate(args[1]);
    const auto amplitude = parseRate(args[2]);
    if (frequency && amplitude) {
      source.kind = SampleSource::Kind::sine;
      source.frequency = *frequency;
      source.amplitude = *amplitude;
      return source;
    }
  }
  if (args.size() == 2 && args[0] == "file") {
    source.kind = SampleSource::Kind::file;
    source.path = std::string(args[1]);
    return source;
  }
  *error = "expected: source ramp | sine HZ AMPLITUDE | file PATH";
  return std::nullopt;
}

std::optional<Step> parseDeliver(const Words& args, std::string* error) {
  Step step;
  step.kind = Step::Kind::deliver;
  const auto count = args.empty() ? std::nullopt : parseInteger<std::uint64_t>(args[0]);
  const auto frames = args.size() >= 2 ? parseInteger<std::uint32_t>(args[1]) : std::nullopt;
  step.forever = !args.empty() && args[0] == "forever";
  if ((!count && !step.forever) || !frames) {
    *error = "expected: deliver COUNT|forever FRAMES [OPTION...]";
    return std::nullopt;
  }
  step.number = count.value_or(0);
  step.frames = *frames;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const auto eq = args[i].find('=');
    const auto option = args[i].substr(0, eq);
    const auto value = eq == std::string_view::npos ? std::string_view{} : args[i].substr(eq + 1);
    if (option == "null") {
      if (value == "first") {
        step.shape.nullData = DeliveryShape::Null::first;
      } else if (value == "rest") {
        step.shape.nullData = DeliveryShape::Null::rest;
      } else if (value == "all") {
        step.shape.nullData = DeliveryShape::Null::all;
      } else {
        *error = "null takes first, rest or all";
        return std::nullopt;
      }
      continue;
    }
    const auto number = parseInteger<std::uint32_t>(value);
    if (!number) {
      *error = "bad deliver option " + std::string(args[i]);
      return std::nullopt;
    }
    if (option == "buffers") {
      step.shape.buffers = *number;
    } else if (option == "bytes") {
      step.shape.bytes = *number;
    } else if (option == "bytes2") {
      step.shape.laterBytes = *number;
    } else if (option == "channels") {
      step.shape.channels = *number;
    } else {
      *error = "unknown deliver option " + std::string(option);
      return std::nullopt;
    }
  }
  return step;
}

std::optional<PidReply> parsePidReply(const Words& args, std::string* error) {
  const auto object = args.size() >= 2 ? parseInteger<AudioObjectID>(args[1]) : std::nullopt;
  const auto status = args.size() == 3 ? parseStatus(args[2]) : std::optional<OSStatus>(0);
  if (!object || !status || args.size() > 3) {
    *error = "expected: pid PID|parent OBJECT [STATUS]";
    return std::nullopt;
  }
  return PidReply{*object, *status};
}

// A setting of the form NAME STATUS [ID].
template <typename Id>
bool parseResult(const Words& args, OSStatus& status, Id& id, std::string* error) {
  const auto parsedStatus = args.empty() ? std::nullopt : parseStatus(args[0]);
  const auto parsedId = args.size() == 2 ? parseInteger<Id>(args[1]) : std::optional<Id>(id);
  if (!parsedStatus || !parsedId || args.size() > 2) {
    *error = "expected: STATUS [ID]";
    return false;
  }
  status = *parsedStatus;
  id = *parsedId;
  return true;
}

// Reads one line into `script`; false with the reason in `error`.
bool parseLine(const Words& words, FakeScript& script, std::string* error) {
  const std::string_view directive = words[0];
  const Words args(words.begin() + 1, words.end());
  const auto one = [&](std::string_view usage) {
    if (args.size() == 1) return true;
    *error = "expected: " + std::string(usage);
    return false;
  };

  if (directive == "log") {
    if (!one("log PATH")) return false;
    script.logPath = std::string(args[0]);
  } else if (directive == "dump") {
    if (!one("dump PATH")) return false;
    script.dumpPath = std::string(args[0]);
  } else if (directive == "pid") {
    const auto reply = parsePidReply(args, error);
    if (!reply) return false;
    if (args[0] == "parent") {
      script.parentPid = *reply;
    } else if (const auto pid = parseInteger<std::int32_t>(args[0])) {
      script.pids[*pid] = *reply;
    } else {
      *error = "bad pid";
      return false;
    }
  } else if (directive == "tap") {
    return parseResult(args, script.tapStatus, script.tapID, error);
  } else if (directive == "device") {
    return parseResult(args, script.deviceStatus, script.deviceID, error);
  } else if (directive == "ioproc") {
    if (args.size() == 2 && args[1] == "null") {
      const auto status = parseStatus(args[0]);
      if (!status) {
        *error = "bad status";
        return false;
      }
      script.ioProcStatus = *status;
      script.ioProcID = 0;
      return true;
    }
    return parseResult(args, script.ioProcStatus, script.ioProcID, error);
  } else if (directive == "start" || directive == "listener") {
    if (!one(std::string(directive) + " STATUS")) return false;
    const auto status = parseStatus(args[0]);
    if (!status) {
      *error = "bad status";
      return false;
    }
    (directive == "start" ? script.startStatus : script.listenerStatus) = *status;
  } else if (directive == "format" || directive == "read") {
    const auto reply = parseFormat(args, error);
    if (!reply) return false;
    if (directive == "format") {
      script.format = *reply;
    } else {
      script.reads.push_back(*reply);
    }
  } else if (directive == "source") {
    const auto source = parseSource(args, error);
    if (!source) return false;
    Step step;
    step.kind = Step::Kind::source;
    step.source = *source;
    script.steps.push_back(step);
  } else if (directive == "pace" || directive == "sleep") {
    if (!one(std::string(directive) + " NUMBER")) return false;
    const auto number = parseInteger<std::uint64_t>(args[0]);
    if (!number) {
      *error = "bad number";
      return false;
    }
    Step step;
    step.kind = directive == "pace" ? Step::Kind::pace : Step::Kind::sleep;
    step.number = *number;
    script.steps.push_back(step);
  } else if (directive == "deliver") {
    const auto step = parseDeliver(args, error);
    if (!step) return false;
    script.steps.push_back(*step);
  } else if (directive == "change" || directive == "tfmt") {
    const auto reply = parseFormat(args, error);
    if (!reply) return false;
    if (directive == "change" && reply->status != kAudioHardwareNoError) {
      *error = "change needs a format, not a failure (use tfmt)";
      return false;
    }
    Step step;
    step.kind = directive == "change" ? Step::Kind::change : Step::Kind::tfmt;
    step.format = *reply;
    script.steps.push_back(step);
  } else if (directive == "notify") {
    if (!one("notify tfmt|nsrt")) return false;
    Step step;
    step.kind = Step::Kind::notify;
    if (args[0] == "tfmt") {
      step.selector = kAudioTapPropertyFormat;
    } else if (args[0] == "nsrt") {
      step.selector = kAudioDevicePropertyNominalSampleRate;
    } else {
      *error = "notify takes tfmt or nsrt";
      return false;
    }
    script.steps.push_back(step);
  } else if (directive == "sync") {
    if (!args.empty()) {
      *error = "sync takes nothing";
      return false;
    }
    Step step;
    step.kind = Step::Kind::sync;
    script.steps.push_back(step);
  } else {
    *error = "unknown directive " + std::string(directive);
    return false;
  }
  return true;
}

}  // namespace

std::optional<FakeScript> parseFakeScript(std::string_view text, std::string* error) {
  FakeScript script;
  script.format.format = {48000.0,
                          kAudioFormatLinearPCM,
                          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                          8,
                          1,
                          8,
                          2,
                          32,
                          0};
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = line.substr(0, line.find('#'));
    const Words words = splitWords(line);
    if (words.empty()) continue;
    std::string reason;
    if (!parseLine(words, script, &reason)) {
      if (error != nullptr) *error = "line " + std::to_string(lineNumber) + ": " + reason;
      return std::nullopt;
    }
  }
  return script;
}

}  // namespace quenwick::harness
