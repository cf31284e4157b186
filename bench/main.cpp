// quenwick_bench: our conversion path against other resamplers, all converting the same ten
// minutes of stereo sound in 512-frame blocks to 16 kHz mono 16-bit, side by side in one run.
//
// Unless the command line says otherwise, each benchmark runs 5 times with the repetitions of
// all benchmarks shuffled together, so that a slow spell of a shared machine does not land on
// one row only; rows show the aggregates, and the summary the medians.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "paths.h"
#include "ratio_reporter.h"

namespace {

using namespace quenwick::bench;

void registerAll() {
  const auto memory = Source::kMemory;
  registerOurPaths("f32_48k", Layout::f32, 48000.0, memory);
  registerMemoryRead("f32_48k", Layout::f32, 48000.0, memory);
  registerAnchorPaths("f32_48k", 48000.0, memory);

  registerOurPaths("s16_48k", Layout::s16, 48000.0, memory);
  registerMemoryRead("s16_48k", Layout::s16, 48000.0, memory);

  registerOurPaths("planar_48k", Layout::planar, 48000.0, memory);
  registerMemoryRead("planar_48k", Layout::planar, 48000.0, memory);

  registerOurPaths("f32_44k1", Layout::f32, 44100.0, memory);
  registerMemoryRead("f32_44k1", Layout::f32, 44100.0, memory);
  registerAnchorPaths("f32_44k1", 44100.0, memory);

  // The same ten minutes of blocks with the input in cache, as the agent receives it.
  const auto hot = Source::kHot;
  registerOurPaths("f32_48k_hot", Layout::f32, 48000.0, hot);
  registerMemoryRead("f32_48k_hot", Layout::f32, 48000.0, hot);
  registerAnchorPaths("f32_48k_hot", 48000.0, hot);
}

// The targets for 48 kHz stereo float: at most 0.5 ns per input frame, at least 2.5 times as
// fast as soxr's quick quality and 6 times as fast as libsamplerate's linear converter.
std::vector<RatioReporter::Goal> goals() {
  return {{"f32_48k", "", 0.5}, {"f32_48k", "soxr_quick", 2.5}, {"f32_48k", "src_linear", 6.0}};
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults go first, so that the same flag given on the command line overrides them.
  std::vector<std::string> defaults = {"--benchmark_repetitions=5",
                                       "--benchmark_enable_random_interleaving=true",
                                       "--benchmark_display_aggregates_only=true"};
  std::vector<char*> args = {argv[0]};
  for (auto& flag : defaults) args.push_back(flag.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);

  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  registerAll();
  RatioReporter reporter(goals());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
