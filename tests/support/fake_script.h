// The script of the fake audio layer, read into values. The text format is described at the top
// of fake_audio_hardware.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "capture/audio_hardware.h"

namespace quenwick::harness {

// What one 'tfmt' read gives: a format, or a failing status.
struct FormatReply {
  OSStatus status = kAudioHardwareNoError;
  AudioStreamBasicDescription format{};
};

// Where sample data comes from. Generated sources give frame n, channel c the value below;
// a file gives its bytes in order (interleaved frames, as the layout's sample type), starting
// again at its beginning when it runs out.
struct SampleSource {
  enum class Kind { ramp, sine, file };
  Kind kind = Kind::ramp;
  double frequency = 0.0;  // sine
  double amplitude = 0.0;  // sine
  std::string path;        // file
};

// Deviations of a delivered buffer list from the one the current format describes.
struct DeliveryShape {
  std::optional<std::uint32_t> buffers;     // number of buffer records
  std::optional<std::uint32_t> bytes;       // mDataByteSize of the first (and, alone, every) buffer
  std::optional<std::uint32_t> laterBytes;  // mDataByteSize of the second and later buffers
  std::optional<std::uint32_t> channels;    // mNumberChannels of every record
  enum class Null { none, first, rest, all };
  Null nullData = Null::none;  // which buffers have no data
};

struct Step {
  enum class Kind { source, pace, deliver, change, tfmt, notify, sync, sleep };
  Kind kind = Kind::sync;
  SampleSource source;         // source
  std::uint64_t number = 0;    // pace: microseconds; sleep: milliseconds; deliver: count
  bool forever = false;        // deliver
  std::uint32_t frames = 0;    // deliver
  DeliveryShape shape;         // deliver
  FormatReply format;          // change, tfmt
  std::uint32_t selector = 0;  // notify
};

struct PidReply {
  AudioObjectID object = kAudioObjectUnknown;
  OSStatus status = kAudioHardwareNoError;
};

struct FakeScript {
  std::string logPath;
  std::string dumpPath;
  std::map<std::int32_t, PidReply> pids;
  std::optional<PidReply> parentPid;  // "pid parent ...": the parent at start-up, whatever its id

  OSStatus tapStatus = kAudioHardwareNoError;
  AudioObjectID tapID = 100;
  OSStatus deviceStatus = kAudioHardwareNoError;
  AudioObjectID deviceID = 200;
  OSStatus ioProcStatus = kAudioHardwareNoError;
  std::uintptr_t ioProcID = 300;  // 0: the call leaves the id null
  OSStatus startStatus = kAudioHardwareNoError;
  OSStatus listenerStatus = kAudioHardwareNoError;

  FormatReply format;              // the tap's format at first
  std::vector<FormatReply> reads;  // one-shot replies of the first 'tfmt' reads
  std::vector<Step> steps;
};

// Nothing, with the line and the reason in `error`, when the text is not a valid script.
std::optional<FakeScript> parseFakeScript(std::string_view text, std::string* error);

}  // namespace quenwick::harness
