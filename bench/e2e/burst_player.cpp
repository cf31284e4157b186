// burst-player SECONDS: a PipeWire player of 48 kHz stereo float that plays silence with a 3 ms
// burst every half second, and prints for each burst the CLOCK_MONOTONIC time (ns) at which it
// handed the burst's buffer to the graph, with the burst's frame offset and the buffer's
// frames: "burst <ns> <offset> <frames>". The end-to-end benchmark pairs these with the moments
// the bursts reach the agent's standard output.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kPeriod = kRate / 2;        // a burst every half second
constexpr std::uint64_t kBurst = kRate * 3 / 1000;  // 3 ms long
constexpr float kLevel = 0.9f;

struct Player {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  std::uint64_t frame = 0;  // frames played so far
  std::uint64_t end = 0;
};

std::int64_t now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void onProcess(void* data) {
  auto* player = static_cast<Player*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(player->stream);
  if (buffer == nullptr) return;
  spa_data& plane = buffer->buffer->datas[0];
  std::uint32_t frames = plane.maxsize / (2 * sizeof(float));
  if (buffer->requested != 0) frames = std::min<std::uint32_t>(frames, buffer->requested);
  auto* out = static_cast<float*>(plane.data);
  const std::int64_t handed = now();
  for (std::uint32_t i = 0; i < frames; ++i) {
    // The first second is silence, so the agent is surely running when the first burst comes.
    const std::uint64_t at = player->frame + i;
    const bool inBurst = at >= kRate && (at % kPeriod) < kBurst;
    if (inBurst && at % kPeriod == 0)
      std::printf("burst %lld %u %u\n", static_cast<long long>(handed), i, frames);
    out[2 * i] = out[2 * i + 1] = inBurst ? kLevel : 0.0f;
  }
  std::fflush(stdout);
  player->frame += frames;
  plane.chunk->offset = 0;
  plane.chunk->stride = 2 * sizeof(float);
  plane.chunk->size = frames * 2 * sizeof(float);
  pw_stream_queue_buffer(player->stream, buffer);
  if (player->frame >= player->end) pw_main_loop_quit(player->loop);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: burst-player SECONDS\n");
    return 2;
  }
  Player player;
  player.end = static_cast<std::uint64_t>(std::atof(argv[1]) * kRate);
  pw_init(&argc, &argv);
  player.loop = pw_main_loop_new(nullptr);
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = onProcess;
    return e;
  }();
  player.stream =
      pw_stream_new_simple(pw_main_loop_get_loop(player.loop), "burst-player",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                             "Playback", PW_KEY_MEDIA_ROLE, "Music", nullptr),
                           &events, &player);
  std::uint8_t pod[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = kRate;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_stream_connect(
      player.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params,
      1);
  pw_main_loop_run(player.loop);
  pw_stream_destroy(player.stream);
  pw_main_loop_destroy(player.loop);
  pw_deinit();
  return 0;
}
