#include "capture/pulseaudio/pulse_capture.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/linux/process_match.h"
#include "capture/mixing/packet_mixer.h"
#include "capture/mixing/stereo_cycle.h"
#include "capture/pulseaudio/pulse_library.h"
#include "capture/pulseaudio/sink_input_plan.h"
#include "capture/pulseaudio/stream_ring.h"
#include "system/wakeup.h"

namespace quenwick {
namespace {

using namespace std::chrono_literals;
using namespace pulseaudio;

// Every wait on the server is bounded: a server that does not answer makes a step fail, never
// hang.
constexpr auto kConnectTimeout = 3000ms;
constexpr auto kQueryTimeout = 3000ms;

// Sink inputs recorded at once; one more is left unheard until one of them ends.
constexpr std::size_t kMostStreams = 16;
// Each stream's ring holds more than a second at 48 kHz: what a late player plays while the
// agent's start-up runs, before the delivering thread takes it.
constexpr std::uint32_t kRingFrames = 1 << 16;
// A period of the mix and the fragment asked of each stream: 10 ms, about PipeWire's quantum.
constexpr std::uint32_t kPeriodsPerSecond = 100;
// A fragment's arrival says when it was captured only to within the server's and the mainloop
// thread's delays, which reach tens of milliseconds under load: one that arrives within this
// much of where the stream's last one ended follows it, frame for frame. Farther off (the
// stream was corked, or fragments were lost), it is placed by its time. Below the mixer's
// lateness, so that what follows a pause is never placed where the mix has gone out already.
constexpr std::uint64_t kArrivalJitter = 1'500'000;  // 150 ms in the mixer's 100 ns units

constexpr std::uint64_t kUnitsPerSecond = 10'000'000;  // the mixer's 100 ns units

std::uint64_t monotonicUnits() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * kUnitsPerSecond +
         static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

CaptureFailure connectionFailure(const std::string& said) {
  return {"could not connect to PulseAudio: " + said +
          ". Check that PulseAudio is running and that XDG_RUNTIME_DIR is this session's."};
}

// Stops a stream of ours: none of its callbacks runs after this.
void closeStream(pa_stream* stream) {
  pa().stream_set_state_callback(stream, nullptr, nullptr);
  pa().stream_set_read_callback(stream, nullptr, nullptr);
  pa().stream_disconnect(stream);
  pa().stream_unref(stream);
}

class MainloopLock {
 public:
  explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop) {
    pa().threaded_mainloop_lock(loop_);
  }
  ~MainloopLock() { pa().threaded_mainloop_unlock(loop_); }
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

class PulseCapture;

struct SinkRecord {
  pa_channel_map map{};
  std::uint32_t rate = 0;
  std::string monitorSource;
};

// One sink input's monitor stream and the ring it fills. The mainloop thread claims a free slot,
// and the delivering thread frees it once it has taken the stream's end.
struct Slot {
  StreamRing ring{kRingFrames};
  std::atomic<bool> busy{false};
  // A stream made as its sink input appeared, before the server said whose it is, is held back
  // until it is known to be heard, and its sound thrown away if it is not.
  std::atomic<bool> confirmed{false}, discarded{false};
  // The mainloop thread's:
  pa_stream* stream = nullptr;
  std::uint32_t sinkInput = PA_INVALID_INDEX;
  std::uint32_t sink = PA_INVALID_INDEX;
  std::vector<MixWeights> weights;  // one a channel of the sink
  // Where the last fragment ended: the frames since the last one placed by its time, at `anchor`
  // (0 before the first).
  std::uint64_t anchor = 0, framesSinceAnchor = 0;
  PulseCapture* owner = nullptr;
};

class PulseCapture final : public Capture {
 public:
  ~PulseCapture() override {
    teardown();
    if (loop_ != nullptr) {
      pa().threaded_mainloop_stop(loop_);
      if (context_ != nullptr) pa().context_unref(context_);
      pa().threaded_mainloop_free(loop_);
    }
  }

  // Connects, and refuses a server that is PipeWire's.
  std::optional<CaptureFailure> connect() {
    loop_ = pa().threaded_mainloop_new();
    if (loop_ == nullptr) return connectionFailure("its main loop could not be made");
    context_ = pa().context_new(pa().threaded_mainloop_get_api(loop_), "quenwick");
    if (context_ == nullptr) return connectionFailure("its context could not be made");
    pa().context_set_state_callback(context_, onContextState, this);
    pa().context_set_subscribe_callback(context_, onSubscription, this);
    // Never autospawn: a PulseAudio that is not running is not the desktop's sound server.
    if (pa().context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return connectionFailure(pa().strerror(pa().context_errno(context_)));
    }
    if (pa().threaded_mainloop_start(loop_) < 0) {
      return connectionFailure("its main loop could not be started");
    }
    MainloopLock lock(loop_);
    waitFor(kConnectTimeout, [&] {
      const pa_context_state_t state = pa().context_get_state(context_);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (pa().context_get_state(context_) != PA_CONTEXT_READY) {
      return connectionFailure(broken() ? pa().strerror(pa().context_errno(context_))
                                        : "the server did not answer");
    }
    if (!await(pa().context_get_server_info(context_, onServerInfo, this))) {
      return connectionFailure("the server did not say what it is");
    }
    if (serverName_.find("PipeWire") != std::string::npos) {
      return CaptureFailure{"the PulseAudio server here is PipeWire's (" + serverName_ +
                            "): PipeWire's own backend serves it"};
    }
    // Changes from now on, then the whole picture: nothing in between is missed.
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                          PA_SUBSCRIPTION_MASK_SINK_INPUT);
    if (!await(pa().context_subscribe(context_, mask, onSuccess, this)) ||
        !await(pa().context_get_sink_info_list(context_, onSinkInfo, this)) ||
        !await(pa().context_get_sink_input_info_list(context_, onSinkInputInfo, this))) {
      return connectionFailure("the server did not list its sinks and streams");
    }
    return std::nullopt;
  }

  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    MainloopLock lock(loop_);
    queue_ = &queue;
    events_ = &events;
  }

  std::variant<Resolution, CaptureFailure> resolve(const Hearing& hearing) override {
    MainloopLock lock(loop_);
    if (broken()) return serverGoneFailure();
    hearing_ = hearing;
    rule_ = {hearing.global, [targets = hearing.targets](const TargetProcess& process) {
               return targets.covers(process.pid);
             }};
    if (hearing.global) return Resolution::somethingToHear;
    for (const auto& [index, input] : inputs_) {
      if (isHeard(input, rule_)) return Resolution::somethingToHear;
    }
    // While the agent waits, a target's stream that shows is recorded at once, and its first
    // fragments are kept for the sink.
    startRecording();
    return Resolution::nothingToHearYet;
  }

  std::optional<CaptureFailure> create() override {
    MainloopLock lock(loop_);
    if (broken()) return serverGoneFailure();
    startRecording();
    following_ = hearing_.followPlaying;
    if (following_) tellPlaying(true);
    return std::nullopt;
  }

  std::variant<StreamFormat, CaptureFailure> format() override { return stereoFormat(rate_); }

  std::optional<CaptureFailure> start(CycleSink& sink) override {
    {
      MainloopLock lock(loop_);
      if (broken()) return serverGoneFailure();
    }
    sink_ = &sink;
    // The timeline starts with the first fragment kept, or now.
    mixer_->begin(std::min(monotonicUnits(), firstHeard_.load()));
    delivering_ = std::thread([this] { deliver(); });
    return std::nullopt;
  }

  void halt() override {
    if (!delivering_.joinable()) return;
    stopping_.store(true);
    wakeup_.ring();
    delivering_.join();
  }

  void teardown() override {
    halt();
    if (loop_ == nullptr || context_ == nullptr) return;
    MainloopLock lock(loop_);
    if (tornDown_) return;
    tornDown_ = true;
    following_ = false;
    for (auto& slot : slots_) {
      if (slot) finish(*slot);
    }
    while (!keepers_.empty()) stopKeeping(keepers_.begin()->first);
    pa().context_disconnect(context_);
  }

  std::string silenceAdvice() const override { return {}; }

 private:
  // --- the main thread's waits, with the loop lock held

  bool broken() const { return !PA_CONTEXT_IS_GOOD(pa().context_get_state(context_)); }

  CaptureFailure serverGoneFailure() const {
    return {"the audio server went away (" +
            std::string(pa().strerror(pa().context_errno(context_))) + ")"};
  }

  template <class Done>
  bool waitFor(std::chrono::milliseconds timeout, Done done) {
    if (done()) return true;
    late_ = false;
    pa_time_event* timer = pa().context_rttime_new(
        context_, pa().rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * 1000, onLate,
        this);
    if (timer == nullptr) return false;
    while (!done() && !late_) pa().threaded_mainloop_wait(loop_);
    pa().threaded_mainloop_get_api(loop_)->time_free(timer);
    return done();
  }

  // Waits for an operation's end; false when it could not be asked, failed or took too long.
  bool await(pa_operation* operation) {
    if (operation == nullptr) return false;
    const bool done = waitFor(kQueryTimeout, [&] {
      return pa().operation_get_state(operation) != PA_OPERATION_RUNNING || broken();
    });
    if (!done) pa().operation_cancel(operation);
    const bool ok = pa().operation_get_state(operation) == PA_OPERATION_DONE && !broken();
    pa().operation_unref(operation);
    return ok && !failedQuery_;
  }

  // --- the mainloop thread (or the main thread with the loop lock held)

  void startRecording() {
    if (mixer_) return;
    // The capture's rate is that of the sink that the first heard stream plays to, or the default
    // sink's: each stream is recorded at it, so PulseAudio resamples only a stream of a sink of
    // another rate.
    auto sink = sinks_.end();
    for (const auto& [index, input] : inputs_) {
      if (isHeard(input, rule_) && sinks_.count(input.sink) != 0) {
        sink = sinks_.find(input.sink);
        break;
      }
    }
    if (sink == sinks_.end()) sink = sinks_.find(defaultSink_);
    rate_ = sink != sinks_.end() ? sink->second.rate : 48000;
    mixer_.emplace(kMostStreams, rate_, rate_ / kPeriodsPerSecond);
    for (auto& slot : slots_) {
      slot = std::make_unique<Slot>();
      slot->owner = this;
    }
    for (const auto& known : sinks_) keepLatencyLow(known.first);
    for (const auto& [index, input] : inputs_) reconcile(index);
  }

  // Records the sink input when the rule hears it, from the monitor of the sink it plays to now;
  // else stops recording it.
  void reconcile(std::uint32_t index) {
    if (!mixer_ || tornDown_) return;
    const auto input = inputs_.find(index);
    const bool heard = input != inputs_.end() && isHeard(input->second, rule_) &&
                       sinks_.count(input->second.sink) != 0;
    Slot* slot = slotOf(index);
    if (slot != nullptr && (!heard || slot->sink != input->second.sink)) {
      finish(*slot);
      slot = nullptr;
    }
    if (slot != nullptr) slot->confirmed.store(true, std::memory_order_release);
    if (heard && slot == nullptr) record(index, input->second.sink, true);
    tellPlaying(false);
  }

  // A sink input that has just appeared is recorded at once, from the default sink's monitor,
  // before its info says whose it is and where it plays: the sink renders it a fragment at a
  // time from its first, and every round trip more before its monitor stream is there loses one.
  void recordAhead(std::uint32_t index) {
    if (!mixer_ || tornDown_ || inputs_.count(index) != 0 || slotOf(index) != nullptr ||
        sinks_.count(defaultSink_) == 0) {
      return;
    }
    record(index, defaultSink_, false);
  }

  // A sink renders as far ahead as the lowest latency that anyone asks of it or of its monitor:
  // two seconds, with a player alone. A stream that starts then is rendered, and monitored, a
  // block at a time, and its first block is gone before its monitor stream could be made. A
  // stream of ours on each sink's monitor that asks for a fragment's latency, and whose sound
  // goes unread, keeps every sink rendering a fragment at a time while the agent records.
  void keepLatencyLow(std::uint32_t sinkIndex) {
    if (!mixer_ || tornDown_ || keepers_.count(sinkIndex) != 0) return;
    const SinkRecord& sink = sinks_.at(sinkIndex);
    pa_stream* stream =
        recordMonitor(sink, sink.rate, PA_INVALID_INDEX, nullptr, onUnreadStream, nullptr);
    if (stream != nullptr) keepers_[sinkIndex] = stream;
  }

  void stopKeeping(std::uint32_t sinkIndex) {
    const auto keeper = keepers_.find(sinkIndex);
    if (keeper == keepers_.end()) return;
    closeStream(keeper->second);
    keepers_.erase(keeper);
  }

  // A record stream on the sink's monitor, in float at `rate` and the sink's channels, that asks
  // for a fragment's latency; of one sink input's sound only, unless PA_INVALID_INDEX. Null when
  // it could not be made.
  pa_stream* recordMonitor(const SinkRecord& sink, std::uint32_t rate, std::uint32_t sinkInput,
                           pa_stream_notify_cb_t onState, pa_stream_request_cb_t onRead,
                           void* data) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, rate, sink.map.channels};
    pa_stream* stream = pa().stream_new(context_, "quenwick", &spec, &sink.map);
    if (stream == nullptr) return nullptr;
    if (sinkInput != PA_INVALID_INDEX) pa().stream_set_monitor_stream(stream, sinkInput);
    pa().stream_set_state_callback(stream, onState, data);
    pa().stream_set_read_callback(stream, onRead, data);
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = rate / kPeriodsPerSecond * 4 * sink.map.channels;
    // It stays on this sink: PulseAudio ends it when its sink input moves.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa().stream_connect_record(stream, sink.monitorSource.c_str(), &attr, flags) < 0) {
      closeStream(stream);
      return nullptr;
    }
    return stream;
  }

  Slot* slotOf(std::uint32_t sinkInput) {
    for (auto& slot : slots_) {
      if (slot && slot->stream != nullptr && slot->sinkInput == sinkInput) return slot.get();
    }
    return nullptr;
  }

  void record(std::uint32_t sinkInput, std::uint32_t sinkIndex, bool confirmed) {
    const auto free = std::find_if(slots_.begin(), slots_.end(), [](const auto& slot) {
      return !slot->busy.load(std::memory_order_acquire);
    });
    if (free == slots_.end()) return;
    Slot& slot = **free;
    const SinkRecord& sink = sinks_.at(sinkIndex);
    pa_stream* stream = recordMonitor(sink, rate_, sinkInput, onStreamState, onStreamRead, &slot);
    if (stream == nullptr) return;
    slot.confirmed.store(confirmed, std::memory_order_relaxed);
    slot.discarded.store(false, std::memory_order_relaxed);
    slot.busy.store(true, std::memory_order_release);
    slot.stream = stream;
    slot.sinkInput = sinkInput;
    slot.sink = sinkIndex;
    slot.weights = sideWeights(sink.map);
    slot.anchor = slot.framesSinceAnchor = 0;
  }

  // Stops the slot's stream; the delivering thread frees the slot once it takes the end.
  void finish(Slot& slot) {
    if (slot.stream == nullptr) return;
    if (!slot.confirmed.load(std::memory_order_relaxed)) {
      slot.discarded.store(true, std::memory_order_release);
    }
    closeStream(slot.stream);
    slot.stream = nullptr;
    slot.sinkInput = PA_INVALID_INDEX;
    slot.ring.end();
    wakeup_.ring();
  }

  // Copies the fragments that came, mixed down to stereo, into the slot's ring. A fragment
  // follows the last one, unless the time it was captured (now, less what is still to be read)
  // is too far from that.
  void read(Slot& slot) {
    const std::size_t channels = slot.weights.size();
    const std::size_t frameBytes = 4 * channels;
    const std::size_t readable = pa().stream_readable_size(slot.stream);
    if (readable == static_cast<std::size_t>(-1)) return;
    const std::uint64_t now = monotonicUnits();
    std::uint64_t pending = readable / frameBytes;
    while (pending > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa().stream_peek(slot.stream, &data, &bytes) < 0 || bytes == 0) break;
      const auto frames = static_cast<std::uint32_t>(bytes / frameBytes);
      const std::uint64_t captured = now - pending * kUnitsPerSecond / rate_;
      const std::uint64_t next = slot.anchor + slot.framesSinceAnchor * kUnitsPerSecond / rate_;
      const bool timed = slot.anchor == 0 ||
                         (captured > next ? captured - next : next - captured) > kArrivalJitter;
      if (timed) {
        slot.anchor = captured;
        slot.framesSinceAnchor = 0;
      }
      const std::uint64_t position = timed ? captured : next;
      slot.framesSinceAnchor += frames;
      const bool kept = data == nullptr ? slot.ring.hole(frames, position, timed)
                                        : copyMixedDown(slot, static_cast<const float*>(data),
                                                        frames, position, timed);
      // What a full ring lost leaves a gap: the next fragment is placed by its own time.
      if (!kept) slot.anchor = 0;
      pa().stream_drop(slot.stream);
      pending -= std::min<std::uint64_t>(pending, frames);
    }
    wakeup_.ring();
  }

  // False when the ring could not take all of it.
  bool copyMixedDown(Slot& slot, const float* in, std::uint32_t frames, std::uint64_t position,
                     bool timed) {
    const std::size_t channels = slot.weights.size();
    std::uint32_t done = 0;
    while (done < frames) {
      const std::span<float> room = slot.ring.room(frames - done);
      if (room.empty()) break;
      const auto count = static_cast<std::uint32_t>(room.size() / 2);
      for (std::uint32_t frame = 0; frame < count; ++frame) {
        const float* sample = in + (done + frame) * channels;
        float left = 0.0f, right = 0.0f;
        for (std::size_t channel = 0; channel < channels; ++channel) {
          left += slot.weights[channel].left * sample[channel];
          right += slot.weights[channel].right * sample[channel];
        }
        room[2 * frame] = left;
        room[2 * frame + 1] = right;
      }
      if (!slot.ring.commit(count, position + done * kUnitsPerSecond / rate_, timed && done == 0)) {
        break;
      }
      done += count;
    }
    std::uint64_t never = kNever;
    firstHeard_.compare_exchange_strong(never, position);
    return done == frames;
  }

  // Who plays: the processes of the heard sink inputs that are recorded and not corked.
  void tellPlaying(bool always) {
    if (!following_ || events_ == nullptr) return;
    std::vector<std::int32_t> pids;
    for (const auto& [index, input] : inputs_) {
      if (input.corked || slotOf(index) == nullptr) continue;
      for (const TargetProcess& process : input.processes) pids.push_back(process.pid);
    }
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    if (!always && pids == toldPlaying_) return;
    toldPlaying_ = pids;
    queue_->post([this, pids] { events_->playingChanged(pids); });
  }

  void processesChanged() {
    if (events_ != nullptr) queue_->post([this] { events_->processesChanged(); });
  }

  // --- PulseAudio's callbacks, on the mainloop thread

  static void onContextState(pa_context* context, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    pa().threaded_mainloop_signal(self.loop_, 0);
    if (PA_CONTEXT_IS_GOOD(pa().context_get_state(context)) || self.tornDown_ || self.gone_ ||
        self.events_ == nullptr) {
      return;
    }
    self.gone_ = true;
    self.queue_->post([&self] { self.events_->serverGone(kServerWentAway); });
  }

  static void onLate(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    self.late_ = true;
    pa().threaded_mainloop_signal(self.loop_, 0);
  }

  static void onSuccess(pa_context*, int success, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    self.failedQuery_ = self.failedQuery_ || !success;
    pa().threaded_mainloop_signal(self.loop_, 0);
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    if (info != nullptr) {
      self.serverName_ = info->server_name != nullptr ? info->server_name : "";
      self.defaultSinkName_ = info->default_sink_name != nullptr ? info->default_sink_name : "";
    }
    pa().threaded_mainloop_signal(self.loop_, 0);
  }

  static void onSinkInfo(pa_context*, const pa_sink_info* info, int, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    pa().threaded_mainloop_signal(self.loop_, 0);
    if (info == nullptr) return;
    self.sinks_[info->index] = {info->channel_map, info->sample_spec.rate,
                                info->monitor_source_name ? info->monitor_source_name : ""};
    if (self.defaultSinkName_ == (info->name ? info->name : "")) self.defaultSink_ = info->index;
    self.keepLatencyLow(info->index);
    // A stream that plays to a sink only now known is recorded now.
    for (const auto& [index, input] : self.inputs_) {
      if (input.sink == info->index) self.reconcile(index);
    }
  }

  static void onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    pa().threaded_mainloop_signal(self.loop_, 0);
    if (info == nullptr) return;
    ClientIdentity identity;
    identity.applicationPid =
        parsePid(pa().proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID));
    if (const char* binary =
            pa().proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY)) {
      identity.applicationBinary = binary;
    }
    identity.viaPulse = true;
    self.inputs_[info->index] = {info->sink, info->client == PA_INVALID_INDEX, info->corked != 0,
                                 processesOf(identity, systemProcesses())};
    self.reconcile(info->index);
    self.processesChanged();
  }

  static void onSubscription(pa_context* context, pa_subscription_event_type_t type,
                             std::uint32_t index, void* data) {
    auto& self = *static_cast<PulseCapture*>(data);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    pa_operation* asked = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
      if (removed) {
        self.stopKeeping(index);
        self.sinks_.erase(index);
      } else {
        asked = pa().context_get_sink_info_by_index(context, index, onSinkInfo, data);
      }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
      if (removed) {
        self.inputs_.erase(index);
        self.reconcile(index);
        self.processesChanged();
      } else {
        if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW) {
          self.recordAhead(index);
        }
        asked = pa().context_get_sink_input_info(context, index, onSinkInputInfo, data);
      }
    }
    if (asked != nullptr) pa().operation_unref(asked);
  }

  static void onStreamState(pa_stream* stream, void* data) {
    auto& slot = *static_cast<Slot*>(data);
    auto& self = *slot.owner;
    const pa_stream_state_t state = pa().stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    // The sink input moved (PulseAudio ends the streams that monitor it) or ended: its change
    // or its removal, which follows, records it again where it plays now or lets it go.
    self.finish(slot);
  }

  static void onUnreadStream(pa_stream* stream, std::size_t, void*) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa().stream_peek(stream, &data, &bytes) == 0 && bytes > 0) pa().stream_drop(stream);
  }

  static void onStreamRead(pa_stream*, std::size_t, void* data) {
    auto& slot = *static_cast<Slot*>(data);
    slot.owner->read(slot);
  }

  // --- the delivering thread: takes every ring's packets, mixes them and delivers what is due

  void deliver() noexcept {
    while (!stopping_.load()) {
      // Read before the packets are taken: every packet of a period that had ended by then is
      // taken in this round, whichever stream it belongs to.
      const std::uint64_t at = monotonicUnits();
      for (std::size_t index = 0; index < kMostStreams; ++index) {
        Slot& slot = *slots_[index];
        if (!slot.busy.load(std::memory_order_acquire)) continue;
        const bool discarded = slot.discarded.load(std::memory_order_acquire);
        if (!discarded && !slot.confirmed.load(std::memory_order_acquire)) continue;
        slot.ring.drain([&](const StreamRing::Packet& packet) {
          if (packet.end) {
            mixer_->forget(index);
            slot.busy.store(false, std::memory_order_release);
            return;
          }
          if (discarded) return;
          mixer_->add(index, packet.data, packet.frames,
                      packet.timed ? PacketMixer::Timing::timed : PacketMixer::Timing::untimed,
                      packet.position);
        });
      }
      mixer_->emitDue(at, *sink_);
      const std::uint64_t wait = mixer_->dueIn(at);
      wakeup_.wait(static_cast<int>(std::max<std::uint64_t>(1, (wait + 9'999) / 10'000)));
      wakeup_.drain();
    }
  }

  static constexpr std::uint64_t kNever = ~std::uint64_t{0};

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  DispatchQueue* queue_ = nullptr;
  CaptureEvents* events_ = nullptr;
  Hearing hearing_;
  // The loop lock's, or the mainloop thread's:
  HearingRule rule_;
  std::string serverName_, defaultSinkName_;
  std::uint32_t defaultSink_ = PA_INVALID_INDEX;
  std::map<std::uint32_t, SinkRecord> sinks_;
  std::map<std::uint32_t, SinkInputRecord> inputs_;
  std::array<std::unique_ptr<Slot>, kMostStreams> slots_;
  std::map<std::uint32_t, pa_stream*> keepers_;  // by sink: keepLatencyLow()
  std::vector<std::int32_t> toldPlaying_;
  bool following_ = false, gone_ = false, tornDown_ = false, late_ = false, failedQuery_ = false;
  // Set before the delivering thread starts:
  std::uint32_t rate_ = 48000;
  std::optional<PacketMixer> mixer_;
  CycleSink* sink_ = nullptr;
  std::atomic<std::uint64_t> firstHeard_{kNever};
  Wakeup wakeup_;
  std::atomic<bool> stopping_{false};
  std::thread delivering_;
};

}  // namespace

Backend pulseAudioBackend() {
  // Standard error carries status lines only, whatever PULSE_LOG asks for: libpulse's own log
  // goes to the system's log. Set here, while the main thread is the only one.
  setenv("PULSE_LOG_SYSLOG", "1", 1);
  return {"pulseaudio", []() -> std::variant<OpenedCapture, CaptureFailure> {
            if (auto failure = loadPulse()) return *failure;
            auto capture = std::make_unique<PulseCapture>();
            if (auto failure = capture->connect()) return *failure;
            return OpenedCapture{std::move(capture)};
          }};
}

}  // namespace quenwick
