// Values drawn from fuzz input, shaped so that the interesting cases come up often: the edges
// of the usable ratios, real tap rates, full scale and beyond, NaN and infinities.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

namespace quenwick::fuzz {

// Any ratio: special values (0, -0, negative, NaN, infinities, the smallest doubles, around
// 1/64, common rates), a rate in Hz over 16000, a moderate step, or 64 arbitrary bits.
double drawRatio(FuzzedDataProvider& input);

// One sample: a special value, a 16-bit sample over 32767, a coarse value up to about +-1.3, or
// 32 arbitrary bits.
float drawSample(FuzzedDataProvider& input);

}  // namespace quenwick::fuzz
