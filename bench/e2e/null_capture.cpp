// null-capture [--deliver]: the least a PipeWire capture client can do. A filter node with two
// DSP input ports (input_FL, input_FR) that the benchmark links to the player, and a real-time
// process callback that looks at each cycle's samples and keeps none of them. Its CPU time is
// the floor under any client that captures from the graph: the thread wake-up and the graph's
// own signalling, once a cycle. With --deliver it also writes each cycle's worth of 16 kHz mono
// 16-bit silence to standard output, as a capture agent hands its host every cycle: the floor
// under a client that delivers. Runs until killed.
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct Capture {
  pw_filter* filter = nullptr;
  void* ports[2] = {};
  volatile float sink = 0.0f;
  bool deliver = false;
  std::int16_t silence[8192] = {};
};

void onProcess(void* data, spa_io_position* position) {
  auto* capture = static_cast<Capture*>(data);
  const std::uint32_t frames = position->clock.duration;
  for (void* port : capture->ports) {
    const auto* samples = static_cast<const float*>(pw_filter_get_dsp_buffer(port, frames));
    if (samples != nullptr && frames != 0) capture->sink = samples[frames - 1];
  }
  const std::uint32_t rate = position->clock.rate.denom;
  if (capture->deliver && rate != 0) {
    const std::uint64_t samples = std::uint64_t{frames} * 16000 / rate;
    const std::size_t bytes = std::min<std::uint64_t>(samples, 8192) * sizeof(std::int16_t);
    [[maybe_unused]] ssize_t written = write(STDOUT_FILENO, capture->silence, bytes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  pw_init(&argc, &argv);
  pw_main_loop* loop = pw_main_loop_new(nullptr);
  Capture capture;
  capture.deliver = argc > 1 && std::strcmp(argv[1], "--deliver") == 0;
  const char* name = capture.deliver ? "null-deliver" : "null-capture";
  static const pw_filter_events events = [] {
    pw_filter_events e{};
    e.version = PW_VERSION_FILTER_EVENTS;
    e.process = onProcess;
    return e;
  }();
  capture.filter =
      pw_filter_new_simple(pw_main_loop_get_loop(loop), name,
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_MEDIA_CLASS, "Stream/Input/Audio",
                                             PW_KEY_NODE_NAME, name, PW_KEY_NODE_AUTOCONNECT,
                                             "false", PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr),
                           &events, &capture);
  const char* names[] = {"input_FL", "input_FR"};
  const char* channels[] = {"FL", "FR"};
  for (int i = 0; i < 2; ++i) {
    capture.ports[i] = pw_filter_add_port(
        capture.filter, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, names[i],
                          PW_KEY_AUDIO_CHANNEL, channels[i], nullptr),
        nullptr, 0);
  }
  if (pw_filter_connect(capture.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
    std::fprintf(stderr, "null-capture: cannot connect\n");
    return 1;
  }
  pw_main_loop_run(loop);
  pw_filter_destroy(capture.filter);
  pw_main_loop_destroy(loop);
  pw_deinit();
  return 0;
}
