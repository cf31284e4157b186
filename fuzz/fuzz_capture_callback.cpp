// Buffer lists of any shape against tap formats of any kind, with format changes between them.
// Each list goes through the real downmix and resampler one step at a time, which must agree
// with the plain reference versions and keep the resampler's bounds; and through the real
// capture callback behind a format hand-over, which must write exactly those bytes. Every buffer,
// and the list's own records, are allocated at exactly their size, so that any read past them
// stops the run.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "convert/audio_buffers.h"
#include "convert/capture_callback.h"
#include "convert/downmix.h"
#include "convert/format_handover.h"
#include "convert/resampler.h"
#include "fuzz_inputs.h"
#include "reference_downmix.h"
#include "reference_resampler.h"
#include "require.h"

namespace quenwick::fuzz {
namespace {

// A buffer list laid out as the audio layer lays it out: the count, then exactly that many
// records, in one allocation with nothing after it.
class OwnedBufferList {
 public:
  explicit OwnedBufferList(std::uint32_t count)
      : list_(static_cast<AudioBufferList*>(
            std::malloc(offsetof(AudioBufferList, mBuffers) + count * sizeof(AudioBuffer)))) {
    FUZZ_REQUIRE(list_ != nullptr);
    list_->mNumberBuffers = count;
  }
  ~OwnedBufferList() {
    for (std::uint32_t i = 0; i < list_->mNumberBuffers; ++i) std::free(records()[i].mData);
    std::free(list_);
  }
  OwnedBufferList(const OwnedBufferList&) = delete;
  OwnedBufferList& operator=(const OwnedBufferList&) = delete;

  AudioBuffer* records() { return list_->mBuffers; }
  const AudioBufferList* list() const { return list_; }

 private:
  AudioBufferList* list_;
};

AudioStreamBasicDescription drawFormat(FuzzedDataProvider& input, double ratio) {
  static const std::uint32_t kLayouts[] = {
      0, kAudioFormatFlagIsFloat, kAudioFormatFlagIsNonInterleaved,
      kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved};
  AudioStreamBasicDescription format{};
  format.mSampleRate = ratio * outRate;
  format.mFormatFlags = input.ConsumeBool() ? kLayouts[input.ConsumeIntegralInRange(0, 3)]
                                            : input.ConsumeIntegral<std::uint32_t>();
  format.mChannelsPerFrame = input.ConsumeIntegralInRange<std::uint32_t>(0, 8);
  const std::uint32_t sampleBytes = (format.mFormatFlags & kAudioFormatFlagIsFloat) ? 4 : 2;
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:  // as a real tap reports it
      format.mBytesPerFrame = format.mChannelsPerFrame * sampleBytes;
      break;
    case 1:
      format.mBytesPerFrame = input.ConsumeIntegralInRange<std::uint32_t>(0, 64);
      break;
    default:
      format.mBytesPerFrame = input.ConsumeIntegral<std::uint32_t>();
  }
  return format;
}

// Fills `bytes` with raw input, with float samples or with 16-bit samples; what the input does
// not cover stays zero.
void fillBuffer(FuzzedDataProvider& input, unsigned char* bytes, std::size_t size) {
  std::memset(bytes, 0, size);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      const std::size_t taken = input.ConsumeData(bytes, size);
      (void)taken;
      break;
    }
    case 1:
      for (std::size_t at = 0; at + 4 <= size && input.remaining_bytes() > 0; at += 4) {
        const float sample = drawSample(input);
        std::memcpy(bytes + at, &sample, 4);
      }
      break;
    default:
      for (std::size_t at = 0; at + 2 <= size && input.remaining_bytes() > 0; at += 2) {
        const auto sample = input.ConsumeIntegral<std::int16_t>();
        std::memcpy(bytes + at, &sample, 2);
      }
  }
}

void drawBuffers(FuzzedDataProvider& input, OwnedBufferList& owned, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    AudioBuffer& buffer = owned.records()[i];
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0:
        buffer.mNumberChannels = input.ConsumeIntegralInRange<std::uint32_t>(0, 8);
        break;
      case 1:  // many channels, still few enough for a frame to fit
        buffer.mNumberChannels = input.ConsumeIntegralInRange<std::uint32_t>(0, 300);
        break;
      default:
        buffer.mNumberChannels = input.ConsumeIntegral<std::uint32_t>();
    }
    buffer.mDataByteSize = input.ConsumeIntegralInRange<std::uint32_t>(0, 1024);
    buffer.mData = nullptr;
    if (input.ConsumeIntegralInRange(0, 7) == 0) continue;  // a disabled stream
    // Exactly the byte count, even when it is zero, so that a read of one byte more is caught.
    // (Should an allocator give null for zero bytes, one byte stands in, to keep the data set.)
    buffer.mData = std::malloc(buffer.mDataByteSize);
    if (buffer.mData == nullptr) buffer.mData = std::malloc(1);
    FUZZ_REQUIRE(buffer.mData != nullptr);
    fillBuffer(input, static_cast<unsigned char*>(buffer.mData), buffer.mDataByteSize);
  }
}

ResamplerState stateOf(const Resampler& resampler) {
  return {resampler.ratio, resampler.position, resampler.carry, resampler.haveCarry};
}

// Where the capture callback writes its PCM: a file that each run empties and reads back.
int pcmFile() {
  static const int fd = [] {
    std::FILE* file = std::tmpfile();
    FUZZ_REQUIRE(file != nullptr);
    return fileno(file);
  }();
  return fd;
}

// The callback under test lives across runs: a fresh one allocates room for the largest blocks,
// which would cost more than the run itself. Every run starts with a publish, after which the
// callback behaves as a fresh one would (new format, resampler reset, carry unused), so a run
// still depends on its own input only. What only a fresh callback does, converting nothing before
// the first format, is checked here once.
struct CallbackUnderTest {
  FormatHandover handover;
  CaptureCallback callback{handover, pcmFile()};

  CallbackUnderTest() {
    const float samples[4] = {0.5f, -0.5f, 0.25f, 1.0f};
    OwnedBufferList owned(1);
    owned.records()[0] = {2, sizeof samples, std::malloc(sizeof samples)};
    FUZZ_REQUIRE(owned.records()[0].mData != nullptr);
    std::memcpy(owned.records()[0].mData, samples, sizeof samples);
    const off_t start = lseek(pcmFile(), 0, SEEK_CUR);
    callback(owned.list());
    callback(nullptr);
    FUZZ_REQUIRE(lseek(pcmFile(), 0, SEEK_CUR) == start);
  }
};

std::vector<unsigned char> readWritten(int fd, off_t& readUpTo) {
  const off_t end = lseek(fd, 0, SEEK_CUR);
  FUZZ_REQUIRE(end >= readUpTo);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(end - readUpTo));
  if (!bytes.empty()) {
    FUZZ_REQUIRE(pread(fd, bytes.data(), bytes.size(), readUpTo) ==
                 static_cast<ssize_t>(bytes.size()));
  }
  readUpTo = end;
  return bytes;
}

std::vector<unsigned char> littleEndianBytes(std::span<const std::int16_t> samples) {
  std::vector<unsigned char> bytes;
  for (const std::int16_t sample : samples) {
    const auto bits = static_cast<std::uint16_t>(sample);
    bytes.push_back(static_cast<unsigned char>(bits & 0xFF));
    bytes.push_back(static_cast<unsigned char>(bits >> 8));
  }
  return bytes;
}

}  // namespace
}  // namespace quenwick::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenwick;
  using namespace quenwick::fuzz;
  FuzzedDataProvider input(data, size);

  static CallbackUnderTest underTest;
  const int fd = pcmFile();
  FUZZ_REQUIRE(ftruncate(fd, 0) == 0);
  FUZZ_REQUIRE(lseek(fd, 0, SEEK_SET) == 0);
  off_t readUpTo = 0;

  // What the callback should be doing, step by step with the real parts, and with the plain ones.
  AudioStreamBasicDescription format{};
  Resampler resampler(input.ConsumeIntegralInRange<std::size_t>(0, 64));
  ResamplerState model;
  std::vector<float> mono;

  // A run opens with a format; after that, formats, lists and empty calls come in any order.
  bool opening = true;
  while (input.remaining_bytes() > 0) {
    const int action = opening ? 0 : input.ConsumeIntegralInRange(0, 15);
    opening = false;
    if (action < 3) {  // the main queue accepts a new format
      const double ratio = drawRatio(input);
      format = drawFormat(input, ratio);
      underTest.handover.publish({format, ratio});
      resampler.reset(ratio);
      model.ratio = ratio;
      model.position = 0.0;
      model.haveCarry = false;
      continue;
    }
    if (action == 3) {  // a call without an input list picks up the format and converts nothing
      underTest.callback(nullptr);
      FUZZ_REQUIRE(readWritten(fd, readUpTo).empty());
      continue;
    }

    const auto count = input.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    OwnedBufferList owned(count);
    drawBuffers(input, owned, count);
    const std::span<const AudioBuffer> buffers = buffersOf(*owned.list());

    downmix(buffers, format, mono);
    FUZZ_REQUIRE(sameBlock(mono, referenceDownmix(buffers, format)));

    const ResamplerState before = stateOf(resampler);
    const auto produced = resampler.process(mono);
    const ResamplerState after = stateOf(resampler);
    checkBlock(before, after, mono, produced);
    const auto reference = referenceProcess(model, mono);
    FUZZ_REQUIRE(std::equal(produced.begin(), produced.end(), reference.begin(), reference.end()));
    FUZZ_REQUIRE(sameState(after, model));
    const auto expected = littleEndianBytes(produced);

    underTest.callback(owned.list());
    FUZZ_REQUIRE(readWritten(fd, readUpTo) == expected);
  }
  return 0;
}
