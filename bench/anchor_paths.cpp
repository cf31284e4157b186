// Other resamplers, fed the same input in the same blocks as ours. Each starts from the stereo
// buffer list and ends with 16-bit mono samples at 16 kHz in a buffer of its own. Unless the
// library mixes channels itself, the mono block comes from our own downmix, so that the
// difference between rows is the resampling and the 16-bit conversion.

#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "convert/downmix.h"
#include "convert/resampler.h"
#include "convert/vector_clones.h"
#include "paths.h"
#include "ratio_reporter.h"

namespace quenwick::bench {
namespace {

// Room for the output of one block at any of the rates measured, with margin for converters
// that hold samples back and release them later.
constexpr std::size_t kOutputRoom = 4 * kBlockFrames;

// Float to 16 bits for the converters that produce floats and have no conversion of their own:
// the same rule as ours, clamped to full scale, scaled by 32767 and truncated.
void toInt16(const float* in, std::size_t count, std::int16_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const float v = std::fmin(std::fmax(in[i], -1.0f), 1.0f);
    out[i] = static_cast<std::int16_t>(v * 32767.0f);
  }
}

// The 64-bit words of one buffer folded together, in four independent lanes so that the loads,
// not the folding, set the pace; built for AVX2 too where ours is.
QUENWICK_VECTOR_CLONES
std::uint64_t fold(const unsigned char* bytes, std::size_t size) {
  constexpr std::size_t kWord = sizeof(std::uint64_t);
  std::uint64_t lanes[4] = {};
  const std::size_t words = size / kWord;
  std::size_t w = 0;
  for (; w + 4 <= words; w += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      std::uint64_t word;
      std::memcpy(&word, bytes + (w + lane) * kWord, kWord);
      lanes[lane] ^= word;
    }
  }
  for (; w < words; ++w) {
    std::uint64_t word;
    std::memcpy(&word, bytes + w * kWord, kWord);
    lanes[0] ^= word;
  }
  return lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3];
}

// Reads every byte of every plane of every block once and does nothing else with them: the
// floor under any conversion of the same blocks.
void memoryRead(benchmark::State& state, Layout layout, double rate, Source source) {
  BlockFeed feed(layout, rate, source);
  for (auto _ : state) {
    std::uint64_t folded = 0;
    for (std::size_t b = 0; b < feed.blocks(); ++b) {
      for (const SamplePlane& plane : feed.cycle(b).planes) {
        folded ^= fold(static_cast<const unsigned char*>(plane.data), feed.planeBytes());
      }
    }
    benchmark::DoNotOptimize(folded);
  }
  countFrames(state, feed.frames());
}

// libsamplerate, mono float in and out, then its own float to 16-bit conversion.
void libsamplerate(benchmark::State& state, double rate, Source source, int converter) {
  BlockFeed feed(Layout::f32, rate, source);
  int error = 0;
  SRC_STATE* src = src_new(converter, 1, &error);
  if (src == nullptr) {
    state.SkipWithError(src_strerror(error));
    return;
  }
  std::vector<float> mono;
  mono.reserve(kBlockFrames);
  std::vector<float> resampled(kOutputRoom);
  std::vector<short> samples(kOutputRoom);
  for (auto _ : state) {
    src_reset(src);
    for (std::size_t b = 0; b < feed.blocks(); ++b) {
      downmix(feed.cycle(b), mono);
      SRC_DATA data{};
      data.data_in = mono.data();
      data.input_frames = static_cast<long>(mono.size());
      data.data_out = resampled.data();
      data.output_frames = static_cast<long>(resampled.size());
      data.src_ratio = outRate / rate;
      if (src_process(src, &data) != 0 || data.input_frames_used != data.input_frames) {
        state.SkipWithError("src_process did not take the whole block");
        break;
      }
      src_float_to_short_array(resampled.data(), samples.data(),
                               static_cast<int>(data.output_frames_gen));
      benchmark::DoNotOptimize(samples.data());
    }
    benchmark::ClobberMemory();
  }
  src_delete(src);
  countFrames(state, feed.frames());
}

// speexdsp, mono float in and out, then the float to 16-bit rule above.
void speex(benchmark::State& state, double rate, Source source, int quality) {
  BlockFeed feed(Layout::f32, rate, source);
  int error = 0;
  SpeexResamplerState* resampler = speex_resampler_init(
      1, static_cast<spx_uint32_t>(rate), static_cast<spx_uint32_t>(outRate), quality, &error);
  if (resampler == nullptr) {
    state.SkipWithError(speex_resampler_strerror(error));
    return;
  }
  std::vector<float> mono;
  mono.reserve(kBlockFrames);
  std::vector<float> resampled(kOutputRoom);
  std::vector<std::int16_t> samples(kOutputRoom);
  for (auto _ : state) {
    speex_resampler_reset_mem(resampler);
    for (std::size_t b = 0; b < feed.blocks(); ++b) {
      downmix(feed.cycle(b), mono);
      auto taken = static_cast<spx_uint32_t>(mono.size());
      auto made = static_cast<spx_uint32_t>(resampled.size());
      speex_resampler_process_float(resampler, 0, mono.data(), &taken, resampled.data(), &made);
      if (taken != mono.size()) {
        state.SkipWithError("speex did not take the whole block");
        break;
      }
      toInt16(resampled.data(), made, samples.data());
      benchmark::DoNotOptimize(samples.data());
    }
    benchmark::ClobberMemory();
  }
  speex_resampler_destroy(resampler);
  countFrames(state, feed.frames());
}

// soxr's quick quality, mono float in, its own 16-bit output without dither (ours has none),
// on one thread.
void soxrQuick(benchmark::State& state, double rate, Source source) {
  BlockFeed feed(Layout::f32, rate, source);
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_QQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_t soxr = soxr_create(rate, outRate, 1, &error, &io, &quality, &runtime);
  if (error != nullptr) {
    state.SkipWithError(error);
    return;
  }
  std::vector<float> mono;
  mono.reserve(kBlockFrames);
  std::vector<std::int16_t> samples(kOutputRoom);
  for (auto _ : state) {
    soxr_clear(soxr);
    for (std::size_t b = 0; b < feed.blocks(); ++b) {
      downmix(feed.cycle(b), mono);
      std::size_t taken = 0;
      std::size_t made = 0;
      soxr_process(soxr, mono.data(), mono.size(), &taken, samples.data(), samples.size(), &made);
      if (taken != mono.size()) {
        state.SkipWithError("soxr did not take the whole block");
        break;
      }
      benchmark::DoNotOptimize(samples.data());
    }
    benchmark::ClobberMemory();
  }
  soxr_delete(soxr);
  countFrames(state, feed.frames());
}

// libswresample with its defaults, taking the stereo float block itself: its own downmix, its
// own resampler and its own 16-bit conversion.
void swresample(benchmark::State& state, double rate, Source source) {
  BlockFeed feed(Layout::f32, rate, source);
  AVChannelLayout stereo{};
  AVChannelLayout mono{};
  av_channel_layout_default(&stereo, 2);
  av_channel_layout_default(&mono, 1);
  SwrContext* swr = nullptr;
  if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, static_cast<int>(outRate), &stereo,
                          AV_SAMPLE_FMT_FLT, static_cast<int>(rate), 0, nullptr) < 0 ||
      swr_init(swr) < 0) {
    swr_free(&swr);
    state.SkipWithError("cannot set up libswresample");
    return;
  }
  std::vector<std::int16_t> samples(kOutputRoom);
  for (auto _ : state) {
    for (std::size_t b = 0; b < feed.blocks(); ++b) {
      const auto* in = reinterpret_cast<const std::uint8_t*>(feed.interleavedBlock(b));
      auto* out = reinterpret_cast<std::uint8_t*>(samples.data());
      const int made = swr_convert(swr, &out, static_cast<int>(samples.size()), &in,
                                   static_cast<int>(feed.framesOf(b)));
      if (made < 0) {
        state.SkipWithError("swr_convert failed");
        break;
      }
      benchmark::DoNotOptimize(samples.data());
    }
    benchmark::ClobberMemory();
  }
  swr_free(&swr);
  countFrames(state, feed.frames());
}

void add(const std::string& name, auto function, auto... arguments) {
  benchmark::RegisterBenchmark(name.c_str(), function, arguments...)->Unit(benchmark::kMillisecond);
}

}  // namespace

void registerMemoryRead(const std::string& group, Layout layout, double rate, Source source) {
  add(group + "/memory_read", memoryRead, layout, rate, source);
}

void registerAnchorPaths(const std::string& group, double rate, Source source) {
  add(group + "/src_linear", libsamplerate, rate, source, static_cast<int>(SRC_LINEAR));
  add(group + "/src_sinc_fastest", libsamplerate, rate, source, static_cast<int>(SRC_SINC_FASTEST));
  add(group + "/speex_q0", speex, rate, source, 0);
  add(group + "/speex_q3", speex, rate, source, 3);
  add(group + "/soxr_quick", soxrQuick, rate, source);
  add(group + "/swresample", swresample, rate, source);
}

}  // namespace quenwick::bench
