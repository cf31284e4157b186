#include "capture/pipewire/capture_node.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "capture/pipewire/link_plan.h"
#include "capture/pipewire/pipewire_library.h"

namespace quenwick::pipewire {
namespace {

constexpr std::uint32_t kChannels = 2;
// As many frames as a cycle can have: the room of the silence read in place of a port without a
// buffer, and of the sides surround inputs are mixed into. A longer cycle without them is
// dropped, and the timeline keeps its time.
const std::array<float, kQuantumLimit> kSilence{};

}  // namespace

CaptureNode::CaptureNode(pw_core* core, pw_loop* loop, CaptureChannel& channel, Events events)
    : mixed_(std::make_unique<float[]>(2 * kQuantumLimit)),
      loop_(loop),
      channel_(channel),
      events_(std::move(events)) {
  pw_properties* props = pw().properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
      "Stream/Input/Audio", PW_KEY_NODE_NAME, "quenwick-capture", PW_KEY_NODE_DESCRIPTION,
      "Quenwick capture", PW_KEY_APP_NAME, "Quenwick",
      // Only the agent's own links feed this node: the session manager must neither connect it to
      // a source nor move it anywhere.
      PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true",
      // An unlinked node is not scheduled; these keep it running on the graph's driver, so
      // the agent hears silence (a continuous timeline) while nothing it hears plays.
      PW_KEY_NODE_ALWAYS_PROCESS, "true", PW_KEY_NODE_WANT_DRIVER, "true", nullptr);
  filter_ = pw().filter_new(core, "Quenwick capture", props);
  rateSeen_ = pw_loop_add_event(loop_, onRateSeen, this);
  if (filter_ == nullptr || rateSeen_ == nullptr) {
    failed_ = true;
    return;
  }
  static const pw_filter_events filterEvents = [] {
    pw_filter_events e{};
    e.version = PW_VERSION_FILTER_EVENTS;
    e.state_changed = onStateChanged;
    e.io_changed = onIoChanged;
    e.process = onProcess;
    return e;
  }();
  pw().filter_add_listener(filter_, &listener_, &filterEvents, this);
  const char* names[kChannels] = {"input_FL", "input_FR"};
  const char* positions[kChannels] = {"FL", "FR"};
  for (std::uint32_t c = 0; c < kChannels; ++c) {
    ports_[c] = pw().filter_add_port(
        filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
        pw().properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                            names[c], PW_KEY_AUDIO_CHANNEL, positions[c], nullptr),
        nullptr, 0);
    if (ports_[c] == nullptr) failed_ = true;
  }
}

CaptureNode::~CaptureNode() {
  if (filter_ != nullptr) {
    // Disconnected first: the delivering thread then calls onProcess no more, and no callback runs
    // through a listener that is being taken away.
    pw().filter_disconnect(filter_);
    spa_hook_remove(&listener_);
    pw().filter_destroy(filter_);
  }
  if (rateSeen_ != nullptr) pw_loop_destroy_source(loop_, rateSeen_);
}

bool CaptureNode::addMixInput(const MixInput& input) {
  const std::size_t count = mixCount_.load(std::memory_order_relaxed);
  if (failed_ || count == kMostMixInputs) return false;
  void* port = pw().filter_add_port(
      filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
      pw().properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                          input.name.c_str(), PW_KEY_AUDIO_CHANNEL, input.position.c_str(),
                          nullptr),
      nullptr, 0);
  if (port == nullptr) return false;
  mixes_[count] = {port, input.weights};
  mixCount_.store(count + 1, std::memory_order_release);
  return true;
}

int CaptureNode::connect() {
  if (failed_) return -ENOMEM;
  // DSP ports run at the graph's rate, whatever it is, and follow it when it changes: no
  // resampling of ours between the applications and the agent.
  const int result = pw().filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
  if (result < 0) failed_ = true;
  return result;
}

std::uint32_t CaptureNode::nodeId() const {
  if (filter_ == nullptr) return kNoObject;
  const std::uint32_t id = pw().filter_get_node_id(filter_);
  return id == SPA_ID_INVALID ? kNoObject : id;
}

void CaptureNode::onStateChanged(void* data, pw_filter_state, pw_filter_state state, const char*) {
  auto* self = static_cast<CaptureNode*>(data);
  if (state == PW_FILTER_STATE_ERROR || state == PW_FILTER_STATE_UNCONNECTED) self->failed_ = true;
  if (self->events_.stateChanged) self->events_.stateChanged();
}

void CaptureNode::noteRate(std::uint32_t rate) noexcept {
  seenRate_.store(rate, std::memory_order_relaxed);
  pw_loop_signal_event(loop_, rateSeen_);
}

// The driver's position arrives as soon as the node joins a graph, before its first cycle: when
// the graph already runs, its rate is known here, and the format need not wait for a cycle.
void CaptureNode::onIoChanged(void* data, void* port, std::uint32_t id, void* area,
                              std::uint32_t size) {
  auto* self = static_cast<CaptureNode*>(data);
  if (port != nullptr || id != SPA_IO_Position || area == nullptr ||
      size < sizeof(spa_io_position)) {
    return;
  }
  const std::uint32_t rate = static_cast<const spa_io_position*>(area)->clock.rate.denom;
  if (rate != 0) self->noteRate(rate);
}

void CaptureNode::onRateSeen(void* data, std::uint64_t) {
  auto* self = static_cast<CaptureNode*>(data);
  const std::uint32_t rate = self->seenRate_.load(std::memory_order_relaxed);
  if (rate == 0 || (self->format_ && self->format_->rate == rate)) return;
  self->format_ = NegotiatedFormat{rate, kChannels};
  if (self->events_.formatChanged) self->events_.formatChanged(*self->format_);
}

void CaptureNode::onProcess(void* data, spa_io_position* position) {
  auto* self = static_cast<CaptureNode*>(data);
  if (position == nullptr) return;
  const std::uint32_t rate = position->clock.rate.denom;
  if (rate != self->deliveringRate_) {
    self->deliveringRate_ = rate;
    if (rate != 0) self->noteRate(rate);
  }
  const auto frames = static_cast<std::uint32_t>(position->clock.duration);
  if (frames == 0 || rate == 0) return;
  const float* planes[kChannels];
  for (std::uint32_t c = 0; c < kChannels; ++c) {
    planes[c] = static_cast<const float*>(pw().filter_get_dsp_buffer(self->ports_[c], frames));
    if (planes[c] == nullptr) {
      if (frames > kQuantumLimit) return;
      planes[c] = kSilence.data();
    }
  }
  // Streams of one or two channels arrive summed in FL and FR, bit for bit; surround channels
  // are added with their weights, into sides of our own.
  const std::size_t mixes = self->mixCount_.load(std::memory_order_acquire);
  float* const left = self->mixed_.get();
  float* const right = left + kQuantumLimit;
  bool mixed = false;
  for (std::size_t m = 0; m < mixes; ++m) {
    const Mix& mix = self->mixes_[m];
    const auto* in = static_cast<const float*>(pw().filter_get_dsp_buffer(mix.port, frames));
    if (in == nullptr || frames > kQuantumLimit) continue;
    if (!mixed) {
      std::copy_n(planes[0], frames, left);
      std::copy_n(planes[1], frames, right);
      planes[0] = left;
      planes[1] = right;
      mixed = true;
    }
    for (std::uint32_t f = 0; f < frames; ++f) {
      left[f] += mix.weights.left * in[f];
      right[f] += mix.weights.right * in[f];
    }
  }
  self->channel_.deliver({planes[0], planes[1], frames, rate, position->clock.nsec});
}

}  // namespace quenwick::pipewire
