#include "capture/pipewire/capture_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>

#include "capture/pipewire/link_plan.h"

namespace quenwick::pipewire {

CaptureStream::CaptureStream(pw_core* core, CaptureChannel& channel, Events events)
    : channel_(channel), events_(std::move(events)) {
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
      "Stream/Input/Audio", PW_KEY_NODE_NAME, "quenwick-capture", PW_KEY_NODE_DESCRIPTION,
      "Quenwick capture", PW_KEY_APP_NAME, "Quenwick",
      // Only the tap's links feed this node: the session manager must neither connect it to a
      // source nor move it anywhere.
      PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true",
      // An unlinked node is not scheduled; these keep it running on the graph's driver, so
      // the agent hears silence (a continuous timeline) while nothing it taps plays.
      PW_KEY_NODE_ALWAYS_PROCESS, "true", PW_KEY_NODE_WANT_DRIVER, "true", nullptr);
  stream_ = pw_stream_new(core, "Quenwick tap", props);
  if (stream_ == nullptr) {
    failed_ = true;
    return;
  }
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    e.process = onProcess;
    return e;
  }();
  pw_stream_add_listener(stream_, &listener_, &streamEvents, this);
}

CaptureStream::~CaptureStream() {
  if (stream_ == nullptr) return;
  spa_hook_remove(&listener_);
  pw_stream_disconnect(stream_);
  pw_stream_destroy(stream_);
}

int CaptureStream::connect() {
  if (stream_ == nullptr) return -ENOMEM;
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  // The rate stays open, so the stream takes the graph's rate and is renegotiated when the
  // graph's rate changes: no resampling of ours between the applications and the agent.
  spa_audio_info_raw wanted{};
  wanted.format = SPA_AUDIO_FORMAT_F32;
  wanted.channels = 2;
  wanted.position[0] = SPA_AUDIO_CHANNEL_FL;
  wanted.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {
      spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &wanted),
  };
  const int result = pw_stream_connect(
      stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params,
      1);
  if (result < 0) failed_ = true;
  return result;
}

std::uint32_t CaptureStream::nodeId() const {
  if (stream_ == nullptr) return kNoObject;
  const std::uint32_t id = pw_stream_get_node_id(stream_);
  return id == SPA_ID_INVALID ? kNoObject : id;
}

void CaptureStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                   const char*) {
  auto* self = static_cast<CaptureStream*>(data);
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) self->failed_ = true;
  if (self->events_.stateChanged) self->events_.stateChanged();
}

void CaptureStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* self = static_cast<CaptureStream*>(data);
  if (id != SPA_PARAM_Format) return;
  // A null format is the graph taking the old one away before it offers the next one; the
  // last format stays ours until then.
  if (param == nullptr) return;
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_audio ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return;
  }
  spa_audio_info_raw info{};
  if (spa_format_audio_raw_parse(param, &info) < 0 || info.format != SPA_AUDIO_FORMAT_F32 ||
      info.channels == 0 || info.rate == 0) {
    return;
  }
  const NegotiatedFormat format{info.rate, info.channels};
  self->rate_.store(info.rate, std::memory_order_relaxed);
  self->bytesPerFrame_.store(info.channels * static_cast<std::uint32_t>(sizeof(float)),
                             std::memory_order_release);
  self->format_ = format;
  if (self->events_.formatChanged) self->events_.formatChanged(format);
}

void CaptureStream::onProcess(void* data) {
  auto* self = static_cast<CaptureStream*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
  if (buffer == nullptr) return;
  const spa_buffer* spaBuffer = buffer->buffer;
  const std::uint32_t frameBytes = self->bytesPerFrame_.load(std::memory_order_acquire);
  if (frameBytes != 0 && spaBuffer->n_datas > 0 && spaBuffer->datas[0].data != nullptr &&
      spaBuffer->datas[0].chunk != nullptr) {
    const spa_data& plane = spaBuffer->datas[0];
    const std::uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
    std::uint32_t size = std::min(plane.chunk->size, plane.maxsize - offset);
    size -= size % frameBytes;
    if (size != 0) {
      self->channel_.deliver(static_cast<const std::byte*>(plane.data) + offset, size,
                             self->rate_.load(std::memory_order_relaxed));
    }
  }
  pw_stream_queue_buffer(self->stream_, buffer);
}

}  // namespace quenwick::pipewire
