// Buffer lists of any shape, read with formats of any kind that change between them, into cycles
// as the Core Audio backend reads them and through the capture callback's conversion. What it makes
// must be, sample for sample, what the plain reference downmix and resampler make of the same
// lists, the reference resampler started afresh at each published format. Each buffer, and the
// list's own records, take exactly their size, so that AddressSanitizer stops any read past them.

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <memory>

#include "capture/coreaudio/buffer_list_cycle.h"
#include "check.h"
#include "convert/capture_callback.h"
#include "convert/reference.h"

namespace {

using namespace quenwick;

// Rates on the edges: unusable ones, the smallest usable one (250 Hz, a ratio of 1/64) and the
// one just below it, common rates, rates whose ratios make positions round at some additions and
// not at others; then whole rates, any mantissa at about a usable scale, and any bits at all.
double drawRate(FuzzedDataProvider& input) {
  static const double special[] = {
      0.0,    -16000.0, NAN,     INFINITY, std::nextafter(250.0, 0.0), 250.0,
      8000.0, 16000.0,  48000.0, 44100.0,  16000 * (1.5 + 0x1p-49),    16000 * (3.0 - 0x1p-43)};
  const int kind = input.ConsumeIntegralInRange(0, 3);
  if (kind == 0) return input.PickValueInArray(special);
  if (kind == 1) return input.ConsumeIntegral<std::uint32_t>();
  if (kind == 2)
    return std::ldexp(1 + input.ConsumeIntegral<std::uint64_t>() * 0x1p-64,
                      input.ConsumeIntegralInRange(7, 18));
  return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One converter for all runs: a new one allocates room for the largest blocks, which costs more
  // than a run. Each run opens with a format, which the converter takes before it reads anything,
  // so that it starts as a new one would and the run depends on its own input alone.
  static CycleConverter convert;
  static PlaneRoom room;
  static std::uint64_t generation = 0;
  FuzzedDataProvider input(data, size);
  AudioStreamBasicDescription format{};
  reference::Resampler resampler;
  std::vector<std::int16_t> converted, expected;
  for (bool opening = true; input.remaining_bytes() > 0; opening = false) {
    const int action = opening ? 0 : input.ConsumeIntegralInRange(0, 7);
    if (action == 0) {  // any flags; a frame size mostly small enough to leave whole frames
      format.mSampleRate = drawRate(input);
      format.mFormatFlags = input.ConsumeIntegral<std::uint32_t>();
      format.mBytesPerFrame = input.ConsumeBool() ? input.ConsumeIntegralInRange(0u, 32u)
                                                  : input.ConsumeIntegral<std::uint32_t>();
      ++generation;
      resampler = reference::Resampler{format.mSampleRate / outRate};
    } else if (action == 1) {
      CapturedCycle none = cycleOfList(nullptr, format, room);
      none.formatGeneration = generation;
      FUZZ_CHECK(convert(none).empty());
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
      CapturedCycle cycle =
          cycleOfList(reinterpret_cast<const AudioBufferList*>(list.data()), format, room);
      cycle.formatGeneration = generation;
      const auto samples = convert(cycle);
      converted.insert(converted.end(), samples.begin(), samples.end());
      resampler.emit(reference::downmix(records, format), expected);
    }
  }
  FUZZ_CHECK(converted == expected);
  return 0;
}
