#include "fake_audio_hardware.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>

namespace quenwick::harness {

// One line of the call log: a JSON object built field by field. Default-constructed, it is a
// bare object to nest in another.
class CallLogLine {
 public:
  CallLogLine() { out_.push_back('{'); }
  CallLogLine(std::string_view kind, std::string_view name) : CallLogLine() {
    key(kind);
    string(name);
  }

  CallLogLine& add(std::string_view name, std::int64_t value) {
    key(name);
    out_ += std::to_string(value);
    return *this;
  }
  CallLogLine& add(std::string_view name, bool value) {
    key(name);
    out_ += value ? "true" : "false";
    return *this;
  }
  CallLogLine& add(std::string_view name, std::string_view value) {
    key(name);
    string(value);
    return *this;
  }
  CallLogLine& add(std::string_view name, const char* value) {
    return add(name, std::string_view(value));
  }
  CallLogLine& addNumber(std::string_view name, double value) {
    key(name);
    if (std::isfinite(value)) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", value);
      out_ += buffer;
    } else {
      string(std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf");
    }
    return *this;
  }
  CallLogLine& addNull(std::string_view name) {
    key(name);
    out_ += "null";
    return *this;
  }
  // A four-character code as its four characters when they are printable, else as a number.
  CallLogLine& addCode(std::string_view name, std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
      const char c = static_cast<char>((code >> shift) & 0xFF);
      if (c < 0x20 || c > 0x7E) return add(name, std::int64_t{code});
      text.push_back(c);
    }
    return add(name, std::string_view(text));
  }
  CallLogLine& addProc(std::string_view name, AudioDeviceIOProcID proc) {
    if (proc == nullptr) return addNull(name);
    return add(name, static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(proc)));
  }
  CallLogLine& addRaw(std::string_view name, std::string_view json) {
    key(name);
    out_ += json;
    return *this;
  }

  std::string json() const { return out_ + "}"; }
  std::string text() const { return json() + "\n"; }

 private:
  void key(std::string_view name) {
    if (out_.size() > 1) out_.push_back(',');
    string(name);
    out_.push_back(':');
  }

  // Bytes outside ASCII are written as \u00XX, so every line is valid JSON whatever it holds.
  void string(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out_.push_back('"');
    for (const char ch : text) {
      const auto c = static_cast<unsigned char>(ch);
      if (c == '"' || c == '\\') {
        out_.push_back('\\');
        out_.push_back(static_cast<char>(c));
      } else if (c < 0x20 || c >= 0x7F) {
        out_ += "\\u00";
        out_.push_back(hex[c >> 4]);
        out_.push_back(hex[c & 0xF]);
      } else {
        out_.push_back(static_cast<char>(c));
      }
    }
    out_.push_back('"');
  }

  std::string out_;
};

namespace {

constexpr auto kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
constexpr auto kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
constexpr auto kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));

std::string formatJson(const AudioStreamBasicDescription& f) {
  return CallLogLine()
      .addNumber("rate", f.mSampleRate)
      .addCode("id", f.mFormatID)
      .add("flags", std::int64_t{f.mFormatFlags})
      .add("bpp", std::int64_t{f.mBytesPerPacket})
      .add("fpp", std::int64_t{f.mFramesPerPacket})
      .add("bpf", std::int64_t{f.mBytesPerFrame})
      .add("channels", std::int64_t{f.mChannelsPerFrame})
      .add("bits", std::int64_t{f.mBitsPerChannel})
      .json();
}

std::string integersJson(const std::vector<AudioObjectID>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += std::to_string(values[i]);
  }
  return out + "]";
}

const char* kindName(TapDescription::Kind kind) {
  switch (kind) {
    case TapDescription::Kind::stereoMixdownOfProcesses:
      return "stereoMixdownOfProcesses";
    case TapDescription::Kind::stereoGlobalTapButExcludeProcesses:
      return "stereoGlobalTapButExcludeProcesses";
  }
  return "?";
}

int openForWriting(const std::string& path, int flags, std::string* error) {
  if (path.empty()) return -1;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0 && error != nullptr) *error = path + ": " + std::strerror(errno);
  return fd;
}

void writeAllTo(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

// A buffer list with its records and their data, each data block allocated to exactly its
// mDataByteSize so that a read past it is a real overrun.
class OwnedBufferList {
 public:
  // Byte storage from new[] implicitly holds the records written into it.
  explicit OwnedBufferList(std::uint32_t count)
      : storage_(
            std::make_unique<std::byte[]>(offsetof(AudioBufferList, mBuffers) +
                                          std::max<std::uint32_t>(count, 1) * sizeof(AudioBuffer))),
        data_(count) {
    list()->mNumberBuffers = count;
  }

  AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(storage_.get()); }
  AudioBuffer& record(std::uint32_t i) {
    return *reinterpret_cast<AudioBuffer*>(storage_.get() + offsetof(AudioBufferList, mBuffers) +
                                           i * sizeof(AudioBuffer));
  }

  void set(std::uint32_t i, std::uint32_t channels, std::uint32_t bytes, bool withData,
           const std::vector<unsigned char>& content) {
    AudioBuffer& buffer = record(i);
    buffer.mNumberChannels = channels;
    buffer.mDataByteSize = bytes;
    buffer.mData = nullptr;
    if (!withData) return;
    data_[i] = std::make_unique<unsigned char[]>(bytes);
    if (!content.empty()) {
      std::memcpy(data_[i].get(), content.data(), std::min<std::size_t>(bytes, content.size()));
    }
    buffer.mData = data_[i].get();
  }

 private:
  std::unique_ptr<std::byte[]> storage_;
  std::vector<std::unique_ptr<unsigned char[]>> data_;
};

}  // namespace

std::unique_ptr<FakeAudioHardware> FakeAudioHardware::fromFile(const std::string& path,
                                                               std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = path + ": cannot read the script";
    return nullptr;
  }
  std::stringstream text;
  text << file.rdbuf();
  std::string reason;
  auto script = parseFakeScript(text.str(), &reason);
  if (!script) {
    if (error != nullptr) *error = path + ": " + reason;
    return nullptr;
  }
  return fromScript(std::move(*script), error);
}

std::unique_ptr<FakeAudioHardware> FakeAudioHardware::fromScript(FakeScript script,
                                                                 std::string* error) {
  if (script.logPath.empty()) {
    if (const char* path = std::getenv("QUENWICK_FAKE_LOG")) script.logPath = path;
  }
  const int logFd = openForWriting(script.logPath, O_APPEND, error);
  if (!script.logPath.empty() && logFd < 0) return nullptr;
  const int dumpFd = openForWriting(script.dumpPath, O_TRUNC, error);
  if (!script.dumpPath.empty() && dumpFd < 0) {
    if (logFd >= 0) close(logFd);
    return nullptr;
  }
  return std::unique_ptr<FakeAudioHardware>(
      new FakeAudioHardware(std::move(script), logFd, dumpFd));
}

FakeAudioHardware::FakeAudioHardware(FakeScript script, int logFd, int dumpFd)
    : script_(std::move(script)), logFd_(logFd), dumpFd_(dumpFd), parentAtStart_(getppid()) {
  readReply_ = script_.format;
  pendingReads_.assign(script_.reads.begin(), script_.reads.end());
  streamFormat_ = script_.format.format;
}

FakeAudioHardware::~FakeAudioHardware() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  if (ioThread_.joinable()) ioThread_.join();
  if (logFd_ >= 0) close(logFd_);
  if (dumpFd_ >= 0) close(dumpFd_);
}

void FakeAudioHardware::log(const std::string& line) const {
  if (logFd_ >= 0) writeAllTo(logFd_, line.data(), line.size());
}

OSStatus FakeAudioHardware::getPropertyData(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t qualifierDataSize,
                                            const void* qualifierData, std::uint32_t* ioDataSize,
                                            void* outData) {
  CallLogLine line("call", "getPropertyData");
  line.add("object", std::int64_t{object})
      .addCode("selector", address.mSelector)
      .addCode("scope", address.mScope)
      .add("element", std::int64_t{address.mElement})
      .add("qualifierSize", std::int64_t{qualifierDataSize});
  if (qualifierData != nullptr && qualifierDataSize == sizeof(std::int32_t)) {
    std::int32_t qualifier = 0;
    std::memcpy(&qualifier, qualifierData, sizeof qualifier);
    line.add("qualifier", std::int64_t{qualifier});
  } else {
    line.addNull("qualifier");
  }
  if (ioDataSize != nullptr) {
    line.add("dataSize", std::int64_t{*ioDataSize});
  } else {
    line.addNull("dataSize");
  }

  OSStatus status = kAudioHardwareUnknownPropertyError;
  if (address.mSelector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
    status = readProcessObject(qualifierDataSize, qualifierData, ioDataSize, outData, line);
  } else if (address.mSelector == kAudioTapPropertyFormat) {
    status = readTapFormat(object, ioDataSize, outData, line);
  }
  log(line.add("status", std::int64_t{status}).text());
  return status;
}

OSStatus FakeAudioHardware::readProcessObject(std::uint32_t qualifierDataSize,
                                              const void* qualifierData, std::uint32_t* ioDataSize,
                                              void* outData, CallLogLine& line) {
  if (qualifierData == nullptr || qualifierDataSize != sizeof(std::int32_t) ||
      ioDataSize == nullptr || *ioDataSize < sizeof(AudioObjectID) || outData == nullptr) {
    return kAudioHardwareBadPropertySizeError;
  }
  std::int32_t pid = 0;
  std::memcpy(&pid, qualifierData, sizeof pid);
  PidReply reply;
  if (const auto found = script_.pids.find(pid); found != script_.pids.end()) {
    reply = found->second;
  } else if (script_.parentPid && pid == parentAtStart_) {
    reply = *script_.parentPid;
  }
  if (reply.status != kAudioHardwareNoError) return reply.status;
  std::memcpy(outData, &reply.object, sizeof reply.object);
  *ioDataSize = sizeof reply.object;
  line.add("out", std::int64_t{reply.object});
  return kAudioHardwareNoError;
}

OSStatus FakeAudioHardware::readTapFormat(AudioObjectID object, std::uint32_t* ioDataSize,
                                          void* outData, CallLogLine& line) {
  if (object != script_.tapID) return kAudioHardwareBadObjectError;
  if (ioDataSize == nullptr || *ioDataSize < sizeof(AudioStreamBasicDescription) ||
      outData == nullptr) {
    return kAudioHardwareBadPropertySizeError;
  }
  FormatReply reply;
  {
    std::lock_guard lock(mutex_);
    if (!pendingReads_.empty()) {
      reply = pendingReads_.front();
      pendingReads_.pop_front();
    } else {
      reply = readReply_;
    }
  }
  if (reply.status != kAudioHardwareNoError) return reply.status;
  std::memcpy(outData, &reply.format, sizeof reply.format);
  *ioDataSize = sizeof reply.format;
  line.addRaw("out", formatJson(reply.format));
  return kAudioHardwareNoError;
}

OSStatus FakeAudioHardware::createProcessTap(const TapDescription& description,
                                             AudioObjectID* outTapID) {
  const OSStatus status = script_.tapStatus;
  if (status == kAudioHardwareNoError && outTapID != nullptr) *outTapID = script_.tapID;
  CallLogLine line("call", "createProcessTap");
  line.add("kind", kindName(description.kind))
      .addRaw("processes", integersJson(description.processes))
      .add("name", std::string_view(description.name))
      .add("private", description.isPrivate)
      .add("mute", static_cast<std::int64_t>(description.muteBehavior))
      .add("uuid", std::string_view(description.uuid))
      .add("status", std::int64_t{status});
  if (status == kAudioHardwareNoError) line.add("tap", std::int64_t{script_.tapID});
  log(line.text());
  return status;
}

OSStatus FakeAudioHardware::destroyProcessTap(AudioObjectID tapID) {
  log(CallLogLine("call", "destroyProcessTap").add("tap", std::int64_t{tapID}).text());
  return kAudioHardwareNoError;
}

OSStatus FakeAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                  AudioObjectID* outDeviceID) {
  const OSStatus status = script_.deviceStatus;
  if (status == kAudioHardwareNoError && outDeviceID != nullptr) *outDeviceID = script_.deviceID;
  std::string taps = "[";
  for (const auto& tap : description.taps) {
    if (taps.size() > 1) taps.push_back(',');
    taps += CallLogLine().add("uid", std::string_view(tap.uid)).add("drift", tap.drift).json();
  }
  taps.push_back(']');
  CallLogLine line("call", "createAggregateDevice");
  line.add("name", std::string_view(description.name))
      .add("uid", std::string_view(description.uid))
      .add("private", description.isPrivate)
      .add("tapautostart", description.tapAutoStart)
      .addRaw("taps", taps)
      .add("status", std::int64_t{status});
  if (status == kAudioHardwareNoError) line.add("device", std::int64_t{script_.deviceID});
  log(line.text());
  return status;
}

OSStatus FakeAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
  log(CallLogLine("call", "destroyAggregateDevice").add("device", std::int64_t{deviceID}).text());
  return kAudioHardwareNoError;
}

OSStatus FakeAudioHardware::addPropertyListener(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                DispatchQueue& queue,
                                                AudioObjectPropertyListener listener) {
  const OSStatus status = script_.listenerStatus;
  log(CallLogLine("call", "addPropertyListener")
          .add("object", std::int64_t{object})
          .addCode("selector", address.mSelector)
          .addCode("scope", address.mScope)
          .add("element", std::int64_t{address.mElement})
          .add("status", std::int64_t{status})
          .text());
  if (status == kAudioHardwareNoError) {
    std::lock_guard lock(mutex_);
    listeners_.push_back({object, address, &queue, std::move(listener)});
  }
  return status;
}

OSStatus FakeAudioHardware::createIOProcID(AudioObjectID device, AudioDeviceIOBlock block,
                                           AudioDeviceIOProcID* outProcID) {
  const OSStatus status = script_.ioProcStatus;
  auto* const proc = reinterpret_cast<AudioDeviceIOProcID>(script_.ioProcID);
  CallLogLine line("call", "createIOProcID");
  line.add("device", std::int64_t{device}).add("status", std::int64_t{status});
  if (status == kAudioHardwareNoError) {
    block_ = std::move(block);
    procID_ = proc;
    procCreated_ = true;
    if (proc != nullptr && outProcID != nullptr) *outProcID = proc;
    line.addProc("proc", proc);
  }
  log(line.text());
  return status;
}

OSStatus FakeAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  log(CallLogLine("call", "destroyIOProcID")
          .add("device", std::int64_t{device})
          .addProc("proc", procID)
          .text());
  return kAudioHardwareNoError;
}

OSStatus FakeAudioHardware::start(AudioObjectID device, AudioDeviceIOProcID procID) {
  const OSStatus status = script_.startStatus;
  log(CallLogLine("call", "start")
          .add("device", std::int64_t{device})
          .addProc("proc", procID)
          .add("status", std::int64_t{status})
          .text());
  if (status != kAudioHardwareNoError || ioThread_.joinable()) return status;
  // Only the IO proc that was made on this device is fed; a start without one runs the steps
  // (notifications, format changes) but delivers nothing.
  const bool feedsBlock =
      procCreated_ && procID != nullptr && procID == procID_ && device == script_.deviceID;
  if (!feedsBlock) block_ = nullptr;
  ioThread_ = std::thread([this] { runSteps(); });
  return status;
}

OSStatus FakeAudioHardware::stop(AudioObjectID device, AudioDeviceIOProcID procID) {
  log(CallLogLine("call", "stop")
          .add("device", std::int64_t{device})
          .addProc("proc", procID)
          .text());
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  if (ioThread_.joinable() && ioThread_.get_id() != std::this_thread::get_id()) {
    ioThread_.join();
  }
  return kAudioHardwareNoError;
}

bool FakeAudioHardware::stopping() {
  std::lock_guard lock(mutex_);
  return stopRequested_;
}

bool FakeAudioHardware::pause(std::chrono::microseconds duration) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, duration, [&] { return stopRequested_; });
}

void FakeAudioHardware::runSteps() {
  for (const Step& step : script_.steps) {
    if (stopping()) return;
    switch (step.kind) {
      case Step::Kind::source:
        source_ = step.source;
        fileData_.clear();
        filePos_ = 0;
        if (source_.kind == SampleSource::Kind::file) {
          std::ifstream file(source_.path, std::ios::binary);
          fileData_.assign(std::istreambuf_iterator<char>(file), {});
          if (!file && !file.eof()) {
            log(CallLogLine("fake", "error").add("source", std::string_view(source_.path)).text());
          }
        }
        break;
      case Step::Kind::pace:
        pace_ = std::chrono::microseconds(step.number);
        break;
      case Step::Kind::deliver:
        deliver(step);
        break;
      case Step::Kind::change: {
        std::lock_guard lock(mutex_);
        readReply_ = step.format;
        streamFormat_ = step.format.format;
        break;
      }
      case Step::Kind::tfmt: {
        std::lock_guard lock(mutex_);
        readReply_ = step.format;
        break;
      }
      case Step::Kind::notify:
        notify(step.selector);
        break;
      case Step::Kind::sync:
        sync();
        break;
      case Step::Kind::sleep:
        pause(std::chrono::milliseconds(step.number));
        break;
    }
  }
  log(CallLogLine("fake", "done").add("lists", static_cast<std::int64_t>(listsDelivered_)).text());
}

void FakeAudioHardware::deliver(const Step& step) {
  for (std::uint64_t i = 0; step.forever || i < step.number; ++i) {
    if (stopping()) return;
    const AudioStreamBasicDescription& f = streamFormat_;
    const bool planar = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const bool isFloat = planar || (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    const std::uint32_t channels = std::max<std::uint32_t>(f.mChannelsPerFrame, 1);
    const std::size_t sampleBytes = isFloat ? 4 : 2;
    const std::size_t frames = step.frames;

    // The frames as interleaved samples of the layout's type.
    std::vector<unsigned char> interleaved(frames * channels * sampleBytes);
    if (source_.kind == SampleSource::Kind::file) {
      for (auto& byte : interleaved) {
        if (fileData_.empty()) break;
        byte = fileData_[filePos_];
        filePos_ = (filePos_ + 1) % fileData_.size();
      }
    } else {
      const double rate = f.mSampleRate > 0 ? f.mSampleRate : 48000.0;
      for (std::size_t n = 0; n < frames; ++n) {
        const std::uint64_t frame = framesDelivered_ + n;
        for (std::uint32_t c = 0; c < channels; ++c) {
          double value;
          if (source_.kind == SampleSource::Kind::ramp) {
            value = static_cast<double>(static_cast<int>((frame + 37 * c) % 512) - 256) / 256.0;
          } else {
            value = source_.amplitude * std::sin(2 * std::numbers::pi * source_.frequency *
                                                 static_cast<double>(frame) / rate);
          }
          unsigned char* at = interleaved.data() + (n * channels + c) * sampleBytes;
          if (isFloat) {
            const auto sample = static_cast<float>(value);
            std::memcpy(at, &sample, sizeof sample);
          } else {
            const auto sample = static_cast<std::int16_t>(
                std::clamp<long>(std::lround(value * 32767.0), -32768, 32767));
            std::memcpy(at, &sample, sizeof sample);
          }
        }
      }
    }

    // The buffers the format describes: one interleaved, or one per channel.
    std::vector<std::vector<unsigned char>> natural;
    if (planar) {
      natural.assign(channels, std::vector<unsigned char>(frames * sampleBytes));
      for (std::size_t n = 0; n < frames; ++n) {
        for (std::uint32_t c = 0; c < channels; ++c) {
          std::memcpy(natural[c].data() + n * sampleBytes,
                      interleaved.data() + (n * channels + c) * sampleBytes, sampleBytes);
        }
      }
    } else {
      natural.push_back(std::move(interleaved));
    }

    const DeliveryShape& shape = step.shape;
    const std::uint32_t count = shape.buffers.value_or(static_cast<std::uint32_t>(natural.size()));
    OwnedBufferList list(count);
    static const std::vector<unsigned char> silence;
    for (std::uint32_t b = 0; b < count; ++b) {
      const auto& content = b < natural.size() ? natural[b] : silence;
      const auto naturalBytes = static_cast<std::uint32_t>(natural[0].size());
      const std::uint32_t bytes =
          b == 0 ? shape.bytes.value_or(naturalBytes)
                 : shape.laterBytes.value_or(shape.bytes.value_or(naturalBytes));
      const bool isNull = shape.nullData == DeliveryShape::Null::all ||
                          (shape.nullData == DeliveryShape::Null::first && b == 0) ||
                          (shape.nullData == DeliveryShape::Null::rest && b > 0);
      const std::uint32_t recordChannels =
          shape.channels.value_or(planar ? 1 : f.mChannelsPerFrame);
      list.set(b, recordChannels, bytes, !isNull, content);
      if (!isNull && dumpFd_ >= 0 && bytes > 0) {
        writeAllTo(dumpFd_, list.record(b).mData, bytes);
      }
    }

    AudioTimeStamp now{};
    now.mSampleTime = static_cast<double>(framesDelivered_);
    now.mFlags = 1;  // sample time valid
    AudioBufferList output{};
    output.mNumberBuffers = 0;
    if (block_) block_(&now, list.list(), &now, &output, &now);
    framesDelivered_ += frames;
    ++listsDelivered_;
    if (pace_.count() > 0 && !pause(pace_)) return;
  }
}

void FakeAudioHardware::notify(std::uint32_t selector) {
  const AudioObjectID object =
      selector == kAudioTapPropertyFormat ? script_.tapID : script_.deviceID;
  std::vector<Listener> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& listener : listeners_) {
      if (listener.object == object && listener.address.mSelector == selector) {
        matching.push_back(listener);
      }
    }
  }
  for (const auto& listener : matching) {
    listener.queue->post(
        [block = listener.block, address = listener.address] { block(1, &address); });
  }
  log(CallLogLine("fake", "notify")
          .addCode("selector", selector)
          .add("listeners", static_cast<std::int64_t>(matching.size()))
          .text());
}

void FakeAudioHardware::sync() {
  DispatchQueue* queue = nullptr;
  std::uint64_t token = 0;
  {
    std::lock_guard lock(mutex_);
    if (!listeners_.empty()) queue = listeners_.front().queue;
    token = ++syncsPosted_;
  }
  if (queue == nullptr) {
    log(CallLogLine("fake", "sync").add("queue", false).text());
    return;
  }
  queue->post([this, token] {
    {
      std::lock_guard lock(mutex_);
      syncsDone_ = std::max(syncsDone_, token);
    }
    wake_.notify_all();
  });
  bool synced = false;
  {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopRequested_ || syncsDone_ >= token; });
    synced = syncsDone_ >= token;
  }
  if (synced) log(CallLogLine("fake", "synced").text());
}

}  // namespace quenwick::harness
