// The conversions the benchmark program measures, registered as GROUP/PATH rows (see
// ratio_reporter.h). Each converts the whole ten minutes of a group's input per iteration.
#pragma once

#include <string>

#include "bench_input.h"

namespace quenwick::bench {

// Our conversion of `layout` at `rate`: the downmix and the resampler as the capture callback
// runs them (the linear one, and --quality high's), and the whole callback with its write to
// /dev/null.
void registerOurPaths(const std::string& group, Layout layout, double rate, Source source);

// Reading the group's input once, block after block, and nothing else: what memory alone costs.
void registerMemoryRead(const std::string& group, Layout layout, double rate, Source source);

// Other resamplers on the float stereo input at `rate`, each to 16 kHz mono 16-bit.
void registerAnchorPaths(const std::string& group, double rate, Source source);

}  // namespace quenwick::bench
