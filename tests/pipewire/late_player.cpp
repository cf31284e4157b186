// late-player FILE: a PipeWire client that connects at once but opens its playback stream only
// when a line (or end of file) arrives on standard input, the way an application that is already
// running starts to play. FILE holds interleaved stereo float samples at 48000 Hz; they are
// played once, then silence until the process is killed.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct Player {
  pw_main_loop* loop = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_source* input = nullptr;
  std::vector<float> samples;
  std::size_t played = 0;  // samples
};

void onProcess(void* data) {
  auto* player = static_cast<Player*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(player->stream);
  if (buffer == nullptr) return;
  spa_data& plane = buffer->buffer->datas[0];
  if (plane.data == nullptr) return;
  std::uint32_t frames = plane.maxsize / (2 * sizeof(float));
  if (buffer->requested != 0) frames = std::min<std::uint32_t>(frames, buffer->requested);
  auto* out = static_cast<float*>(plane.data);
  const std::size_t wanted = std::size_t{frames} * 2;
  const std::size_t available = std::min(wanted, player->samples.size() - player->played);
  std::copy_n(player->samples.begin() + static_cast<std::ptrdiff_t>(player->played), available,
              out);
  std::fill(out + available, out + wanted, 0.0f);
  player->played += available;
  plane.chunk->offset = 0;
  plane.chunk->stride = 2 * sizeof(float);
  plane.chunk->size = frames * 2 * sizeof(float);
  pw_stream_queue_buffer(player->stream, buffer);
}

void openStream(Player& player) {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = onProcess;
    return e;
  }();
  player.stream = pw_stream_new(
      player.core, "late-player",
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                        PW_KEY_MEDIA_ROLE, "Music", PW_KEY_NODE_NAME, "late-player", nullptr));
  pw_stream_add_listener(player.stream, &player.streamListener, &events, &player);
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = 48000;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_stream_connect(
      player.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params,
      1);
}

void onInput(void* data, int fd, std::uint32_t) {
  auto* player = static_cast<Player*>(data);
  char line[64];
  [[maybe_unused]] ssize_t got = read(fd, line, sizeof line);
  pw_loop_destroy_source(pw_main_loop_get_loop(player->loop), player->input);
  player->input = nullptr;
  openStream(*player);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: late-player FILE\n");
    return 2;
  }
  Player player;
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  player.samples.resize(bytes.size() / sizeof(float));
  std::memcpy(player.samples.data(), bytes.data(), player.samples.size() * sizeof(float));

  pw_init(&argc, &argv);
  player.loop = pw_main_loop_new(nullptr);
  pw_context* context = pw_context_new(pw_main_loop_get_loop(player.loop), nullptr, 0);
  player.core = pw_context_connect(context, nullptr, 0);
  if (player.core == nullptr) {
    std::fprintf(stderr, "late-player: cannot connect\n");
    return 1;
  }
  player.input = pw_loop_add_io(pw_main_loop_get_loop(player.loop), STDIN_FILENO, SPA_IO_IN, false,
                                onInput, &player);
  pw_main_loop_run(player.loop);
  return 0;
}
