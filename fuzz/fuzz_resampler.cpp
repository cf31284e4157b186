// The resampler over arbitrary ratios and block sequences with resets between them. Every block
// must give exactly what the plain reference loop gives, bit for bit, and leave the same state;
// and on its own terms keep the bounds: at most floor(m / ratio) + 2 samples, none below -32767,
// the next position in [0, ratio), the block's last sample as carry. An empty block, or one at a
// ratio that cannot be used, changes nothing. A reset keeps the carry.

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "convert/resampler.h"
#include "fuzz_inputs.h"
#include "reference_resampler.h"
#include "require.h"

namespace quenwick::fuzz {
namespace {

ResamplerState stateOf(const Resampler& resampler) {
  return {resampler.ratio, resampler.position, resampler.carry, resampler.haveCarry};
}

// Up to 600 samples, but no more than about 4096 output samples per block: a long block at a
// small ratio costs much time and reaches no code that a shorter one does not.
std::size_t longestBlock(double ratio) {
  if (!isConvertibleRatio(ratio) || ratio >= 600.0 / 4096.0) return 600;
  return static_cast<std::size_t>(ratio * 4096.0);
}

}  // namespace
}  // namespace quenwick::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenwick;
  using namespace quenwick::fuzz;
  FuzzedDataProvider input(data, size);

  // A small starting room, so that growing it for a larger block is exercised as well.
  Resampler resampler(input.ConsumeIntegralInRange<std::size_t>(0, 64));
  ResamplerState model;
  FUZZ_REQUIRE(sameState(stateOf(resampler), model));
  FUZZ_REQUIRE(isUsableRatio(model.ratio) == isConvertibleRatio(model.ratio));

  std::vector<float> block;
  while (input.remaining_bytes() > 0) {
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
      const double ratio = drawRatio(input);
      FUZZ_REQUIRE(isUsableRatio(ratio) == isConvertibleRatio(ratio));
      resampler.reset(ratio);
      model.ratio = ratio;
      model.position = 0.0;
      model.haveCarry = false;
      FUZZ_REQUIRE(sameState(stateOf(resampler), model));
      continue;
    }

    block.resize(input.ConsumeIntegralInRange<std::size_t>(0, longestBlock(resampler.ratio)));
    for (float& sample : block) sample = drawSample(input);

    const ResamplerState before = stateOf(resampler);
    const auto produced = resampler.process(block);
    const std::vector<std::int16_t> out(produced.begin(), produced.end());
    const ResamplerState after = stateOf(resampler);
    checkBlock(before, after, block, out);

    FUZZ_REQUIRE(out == referenceProcess(model, block));
    FUZZ_REQUIRE(sameState(after, model));
  }
  return 0;
}
