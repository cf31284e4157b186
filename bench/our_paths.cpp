#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <vector>

#include "convert/capture_callback.h"
#include "convert/downmix.h"
#include "convert/resampler.h"
#include "convert/sinc_resampler.h"
#include "paths.h"
#include "ratio_reporter.h"

namespace quenwick::bench {
namespace {

void start(Resampler& resampler, double rate) {
  resampler.reset(rate / outRate);
}
void start(SincResampler& resampler, double rate) {
  resampler.reset(rate);
}

// What the capture callback does for each cycle, minus the format check and the write:
// the output stays in the resampler's own block, as each anchor's stays in its own buffer.
template <typename AnyResampler>
void convertOnly(benchmark::State& state, Layout layout, double rate, Source source) {
  BlockFeed feed(layout, rate, source);
  AnyResampler resampler;
  std::vector<float> mono;
  mono.reserve(8192);
  for (auto _ : state) {
    start(resampler, rate);
    for (std::size_t b = 0; b < feed.blocks(); ++b) {
      downmix(feed.cycle(b), mono);
      const auto samples = resampler.process(mono);
      benchmark::DoNotOptimize(samples.data());
    }
    benchmark::ClobberMemory();
  }
  countFrames(state, feed.frames());
}

// The real capture callback, format hand-over and one write per block included.
void wholeCallback(benchmark::State& state, Layout layout, double rate, Source source) {
  BlockFeed feed(layout, rate, source);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  {
    PcmOutput pcm(devNull, nullptr);
    CaptureCallback callback(pcm);
    for (auto _ : state) {
      for (std::size_t b = 0; b < feed.blocks(); ++b) {
        callback.deliver(feed.cycle(b));
      }
    }
    pcm.drain(std::chrono::seconds(10));
  }
  ::close(devNull);
  countFrames(state, feed.frames());
}

}  // namespace

void registerOurPaths(const std::string& group, Layout layout, double rate, Source source) {
  benchmark::RegisterBenchmark((group + "/" + kOurPath).c_str(), convertOnly<Resampler>, layout,
                               rate, source)
      ->Unit(benchmark::kMillisecond);
  // --quality high: the band-limited resampler in the same place.
  benchmark::RegisterBenchmark((group + "/" + kOurPath + "_high").c_str(),
                               convertOnly<SincResampler>, layout, rate, source)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((group + "/" + kOurPath + "_callback_devnull").c_str(),
                               wholeCallback, layout, rate, source)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace quenwick::bench
