// pulse-burst-player SECONDS: burst-player's counterpart for a PulseAudio server (PulseAudio
// itself, or PipeWire's): 48 kHz stereo float silence with a 3 ms burst every half second, played
// through libpulse-simple with 50 ms of buffer, as an interactive application asks for. It prints
// for each burst the CLOCK_MONOTONIC time (ns) at which the block that holds its start was
// handed to the server, with the burst's frame offset in the block and the block's frames:
// "burst <ns> <offset> <frames>".
#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kPeriod = kRate / 2;        // a burst every half second
constexpr std::uint64_t kBurst = kRate * 3 / 1000;  // 3 ms long
constexpr std::uint32_t kBlock = kRate / 200;       // written 5 ms at a time
constexpr float kLevel = 0.9f;

std::int64_t now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pulse-burst-player SECONDS\n");
    return 2;
  }
  const auto end = static_cast<std::uint64_t>(std::atof(argv[1]) * kRate);
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
  pa_buffer_attr attr{};
  attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(50'000, &spec));
  int error = 0;
  pa_simple* stream = pa_simple_new(nullptr, "pulse-burst-player", PA_STREAM_PLAYBACK, nullptr,
                                    "bursts", &spec, nullptr, &attr, &error);
  if (stream == nullptr) {
    std::fprintf(stderr, "pulse-burst-player: %s\n", pa_strerror(error));
    return 1;
  }
  std::vector<float> block(2 * kBlock);
  for (std::uint64_t frame = 0; frame < end; frame += kBlock) {
    int burstAt = -1;
    for (std::uint32_t i = 0; i < kBlock; ++i) {
      // The first second is silence, so the agent is surely running when the first burst comes.
      const std::uint64_t at = frame + i;
      const bool inBurst = at >= kRate && (at % kPeriod) < kBurst;
      if (inBurst && at % kPeriod == 0) burstAt = static_cast<int>(i);
      block[2 * i] = block[2 * i + 1] = inBurst ? kLevel : 0.0f;
    }
    // pa_simple_write returns once the server has room: the block is handed over then.
    const std::int64_t handing = now();
    if (pa_simple_write(stream, block.data(), block.size() * sizeof(float), &error) < 0) {
      std::fprintf(stderr, "pulse-burst-player: %s\n", pa_strerror(error));
      return 1;
    }
    if (burstAt >= 0) {
      std::printf("burst %lld %d %u\n", static_cast<long long>(handing), burstAt, kBlock);
      std::fflush(stdout);
    }
  }
  pa_simple_drain(stream, &error);
  pa_simple_free(stream);
  return 0;
}
