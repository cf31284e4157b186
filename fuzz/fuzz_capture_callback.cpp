// Buffer lists of any shape, read with formats of any kind that change between them, through the
// real capture callback behind a format hand-over, writing to a memory file. What it writes must
// be, byte for byte, what the plain reference downmix and resampler make of the same lists, the
// reference resampler started afresh at each published format. Each buffer, and the list's own
// records, take exactly their size, so that AddressSanitizer stops any read past them.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <memory>

#include "check.h"
#include "convert/capture_callback.h"
#include "convert/reference.h"

namespace {

using namespace quenwick;

// Ratios on the edges: unusable ones, the smallest usable one and the one just below it, common
// rates, ratios whose positions round at some additions and not at others; then rates in Hz, any
// mantissa at about a usable scale, and any bits at all.
double drawRatio(FuzzedDataProvider& input) {
  static constexpr double special[] = {
      0.0, -1.0, NAN, INFINITY, 0x1p-6 * (1 - 0x1p-53), 0x1p-6,
      0.5, 1.0,  3.0, 2.75625,  1.5 + 0x1p-49,          3.0 - 0x1p-43};
  const int kind = input.ConsumeIntegralInRange(0, 3);
  if (kind == 0) return input.PickValueInArray(special);
  if (kind == 1) return input.ConsumeIntegral<std::uint32_t>() / outRate;
  if (kind == 2)
    return std::ldexp(1 + input.ConsumeIntegral<std::uint64_t>() * 0x1p-64,
                      input.ConsumeIntegralInRange(-7, 4));
  return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One callback for all runs: a new one allocates room for the largest blocks, which costs more
  // than a run. Each run opens with a format, which the callback takes before it reads anything,
  // so that it starts as a new one would and the run depends on its own input alone.
  static const int pcm = memfd_create("pcm", 0);
  static FormatHandover handover;
  static PcmOutput output(pcm, nullptr);
  static CaptureCallback callback(handover, output);
  FUZZ_CHECK(pcm >= 0 && ftruncate(pcm, 0) == 0 && lseek(pcm, 0, SEEK_SET) == 0);
  FuzzedDataProvider input(data, size);
  AudioStreamBasicDescription format{};
  reference::Resampler resampler;
  std::vector<std::int16_t> expected;
  for (bool opening = true; input.remaining_bytes() > 0; opening = false) {
    const int action = opening ? 0 : input.ConsumeIntegralInRange(0, 7);
    if (action == 0) {  // any flags; a frame size mostly small enough to leave whole frames
      const double ratio = drawRatio(input);
      format.mFormatFlags = input.ConsumeIntegral<std::uint32_t>();
      format.mBytesPerFrame = input.ConsumeBool() ? input.ConsumeIntegralInRange(0u, 32u)
                                                  : input.ConsumeIntegral<std::uint32_t>();
      handover.publish({format, ratio});
      resampler = reference::Resampler{ratio};
    } else if (action == 1) {
      callback(nullptr);
    } else {
      // Up to nine buffers, a few of them null; now and then one long enough to outgrow the room
      // that the callback's resampler starts with. The input fills them as far as it goes.
      std::vector<std::unique_ptr<unsigned char[]>> storage;
      std::vector<AudioBuffer> records(input.ConsumeIntegralInRange(0, 9));
      for (AudioBuffer& buffer : records) {
        buffer.mNumberChannels = input.ConsumeBool() ? input.ConsumeIntegralInRange(0u, 8u)
                                                     : input.ConsumeIntegral<std::uint32_t>();
        buffer.mDataByteSize =
            input.ConsumeIntegralInRange(0u, input.ConsumeIntegralInRange(0, 15) ? 2048u : 40000u);
        if (input.ConsumeIntegralInRange(0, 7) == 0) continue;
        buffer.mData = storage.emplace_back(new unsigned char[buffer.mDataByteSize]()).get();
        input.ConsumeData(buffer.mData, buffer.mDataByteSize);
      }
      // The list as the audio layer lays it out: the count, then exactly that many records.
      constexpr std::size_t head = offsetof(AudioBufferList, mBuffers);
      std::vector<unsigned char> list(head + records.size() * sizeof(AudioBuffer));
      *reinterpret_cast<std::uint32_t*>(list.data()) = static_cast<std::uint32_t>(records.size());
      std::copy(records.begin(), records.end(), reinterpret_cast<AudioBuffer*>(list.data() + head));
      callback(reinterpret_cast<const AudioBufferList*>(list.data()));
      resampler.emit(reference::downmix(records, format), expected);
    }
  }

  std::vector<unsigned char> written(static_cast<std::size_t>(lseek(pcm, 0, SEEK_END)));
  FUZZ_CHECK(pread(pcm, written.data(), written.size(), 0) == ssize_t(written.size()));
  std::vector<unsigned char> little;
  for (const std::uint16_t sample : expected)
    little.insert(little.end(), {std::uint8_t(sample & 0xFF), std::uint8_t(sample >> 8)});
  FUZZ_CHECK(written == little);
  return 0;
}
