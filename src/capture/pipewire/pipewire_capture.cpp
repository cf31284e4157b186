#include "capture/pipewire/pipewire_capture.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "capture/linux/process_match.h"
#include "capture/pipewire/capture_channel.h"
#include "capture/pipewire/capture_node.h"
#include "capture/pipewire/link_plan.h"
#include "capture/pipewire/pipewire_connection.h"
#include "capture/pipewire/pipewire_library.h"

namespace quenwick {
namespace {

using namespace std::chrono_literals;
using namespace pipewire;

// Every wait on the server is bounded: a server that does not answer makes a step fail, never
// hang. Teardown waits are short, as the agent exits right after them.
constexpr auto kConnectTimeout = 3000ms;
constexpr auto kNodeTimeout = 3000ms;
constexpr auto kFormatTimeout = 3000ms;
constexpr auto kTeardownTimeout = 500ms;
constexpr auto kIoStopTimeout = 500ms;

// A failed connection in PipeWire's words: its errno text, and what that means from PipeWire.
CaptureFailure connectionFailure(int error) {
  const char* meaning = error == EHOSTDOWN   ? "no server answers on this session's socket"
                        : error == ETIMEDOUT ? "the server did not answer"
                        : error == EPIPE     ? "the server closed the connection"
                                             : nullptr;
  const std::string said = std::strerror(error);
  return {"could not connect to PipeWire: " + (meaning ? meaning + (" (" + said + ")") : said) +
          ". Check that PipeWire is running and that XDG_RUNTIME_DIR is this session's."};
}

std::string within(std::chrono::milliseconds timeout) {
  return " within " + std::to_string(timeout.count()) + " ms";
}

class PipeWireCapture final : public Capture {
 public:
  explicit PipeWireCapture(std::unique_ptr<PipeWireConnection> connection)
      : connection_(std::move(connection)) {}

  ~PipeWireCapture() override {
    teardown();
    connection_.reset();
  }

  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    queue_ = &queue;
    events_ = &events;
    LoopLock lock(connection_->loop());
    connection_->onBroken(
        [this] { queue_->post([this] { events_->serverGone(kServerWentAway); }); });
    connection_->graph().onProcessesChanged(
        [this] { queue_->post([this] { events_->processesChanged(); }); });
  }

  std::variant<Resolution, CaptureFailure> resolve(const Hearing& hearing) override {
    // A connection that broke before listen() had a listener on it is told of here.
    if (connection_->broken()) return connectionFailure(EPIPE);
    hearing_ = hearing;
    if (hearing.global) return Resolution::somethingToHear;
    LoopLock lock(connection_->loop());
    // Two round trips learn the clients that connected since the last look, with their info.
    if (!connection_->roundtrip(kConnectTimeout) || !connection_->roundtrip(kConnectTimeout)) {
      return connectionFailure(connection_->broken() ? EPIPE : ETIMEDOUT);
    }
    if (hasClientOfATarget(connection_->graph().state(), isTarget())) {
      return Resolution::somethingToHear;
    }
    // While the agent waits, the node is there and the rule in place: a target's stream that
    // shows is linked by the loop thread at once, and its first cycles are kept for the sink.
    if (!node_) {
      if (auto failure = makeNode()) return *failure;
    }
    return Resolution::nothingToHearYet;
  }

  std::optional<CaptureFailure> create() override {
    LoopLock lock(connection_->loop());
    if (!node_) {
      if (auto failure = makeNode()) return *failure;
    }
    if (hearing_.followPlaying) {
      connection_->graph().followPlaying([this](const std::vector<std::int32_t>& pids) {
        queue_->post([this, pids] { events_->playingChanged(pids); });
      });
    }
    return std::nullopt;
  }

  std::variant<StreamFormat, CaptureFailure> format() override {
    LoopLock lock(connection_->loop());
    connection_->waitFor(kFormatTimeout, [&] { return node_->format() || node_->failed(); });
    if (connection_->broken()) return connectionFailure(EPIPE);
    const auto format = node_->format();
    if (!format) {
      return CaptureFailure{"could not read the graph's rate from PipeWire: none came" +
                            within(kFormatTimeout)};
    }
    // Changes of rate are announced from now on.
    announcedRate_ = format->rate;
    return planarFormatAt(format->rate);
  }

  std::optional<CaptureFailure> start(CycleSink& sink) override {
    {
      LoopLock lock(connection_->loop());
      if (connection_->broken()) return connectionFailure(EPIPE);
      if (node_->failed()) {
        return CaptureFailure{"could not start capture in PipeWire: the capture node failed"};
      }
    }
    channel_.attach(sink);
    return std::nullopt;
  }

  void halt() override { channel_.detach(kIoStopTimeout); }

  void teardown() override {
    if (!connection_) return;
    // A delivery that never leaves keeps the channel; it lives as long as the process.
    channel_.detach(kIoStopTimeout);
    LoopLock lock(connection_->loop());
    // Who played is no news once the capture ends.
    connection_->graph().followPlaying({});
    // Links first, then our node: nothing is ever linked to a node that is going away.
    connection_->graph().setRule(std::nullopt);
    node_.reset();
    connection_->roundtrip(kTeardownTimeout);
  }

  // PipeWire knows of nothing that turns a playing stream's sound into zeros on its way to us.
  std::string silenceAdvice() const override { return {}; }

 private:
  // Our capture node, and the rule that links the targets' streams to it. Loop lock held.
  std::optional<CaptureFailure> makeNode() {
    LinkRule rule;
    rule.everyProcessButTargets = hearing_.global;
    rule.isTarget = isTarget();
    if (const auto self = systemProcesses().process(static_cast<std::int32_t>(getpid()))) {
      rule.self = {self->pid, self->startTime};
    }
    node_ = std::make_unique<CaptureNode>(
        connection_->core(), pw().thread_loop_get_loop(connection_->loop()), channel_,
        CaptureNode::Events{[this] { connection_->wake(); },
                            [this](const NegotiatedFormat& format) { formatNegotiated(format); }});
    const bool ready = node_->connect() >= 0 && connection_->waitFor(kNodeTimeout, [&] {
      return node_->failed() || node_->nodeId() != kNoObject;
    }) && !node_->failed();
    if (!ready) {
      node_.reset();
      if (connection_->broken()) return connectionFailure(EPIPE);
      return CaptureFailure{"could not create the capture node in PipeWire: it was not made" +
                            within(kNodeTimeout)};
    }
    rule.captureNodeId = node_->nodeId();
    auto& graph = connection_->graph();
    // Cycles are kept for the sink from the first link on: what a target plays from then on
    // reaches the sink, however long the agent's start-up takes after (capture_channel.h).
    graph.onLinking([this] { channel_.linking(); });
    graph.setRule(std::move(rule),
                  [node = node_.get()](const MixInput& input) { node->addMixInput(input); });
    return std::nullopt;
  }

  // The one rule of who is a target, asked of each client's processes whenever links are planned.
  std::function<bool(const TargetProcess&)> isTarget() const {
    return [targets = hearing_.targets](const TargetProcess& process) {
      return targets.covers(process.pid);
    };
  }

  // Loop thread, loop lock held.
  void formatNegotiated(const NegotiatedFormat& format) {
    connection_->wake();
    if (!announcedRate_ || *announcedRate_ == format.rate) return;
    announcedRate_ = format.rate;
    queue_->post([this, rate = format.rate] { events_->formatChanged(planarFormatAt(rate)); });
  }

  DispatchQueue* queue_ = nullptr;
  CaptureEvents* events_ = nullptr;
  Hearing hearing_;
  std::unique_ptr<PipeWireConnection> connection_;
  CaptureChannel channel_;
  std::unique_ptr<CaptureNode> node_;           // loop lock
  std::optional<std::uint32_t> announcedRate_;  // loop lock
};

}  // namespace

Backend pipeWireBackend() {
  return {"pipewire", []() -> std::variant<OpenedCapture, CaptureFailure> {
            // The library is opened here, not by the loader: a machine without it gets a status
            // line. A server that is not there now will not be there in a moment either.
            if (auto failure = loadPipeWire()) return *failure;
            int error = 0;
            auto connection = PipeWireConnection::open(kConnectTimeout, error);
            if (!connection) return connectionFailure(error < 0 ? -error : EIO);  // EIO: no errno
            // The registry as the connection's round trips left it: nothing more to wait for.
            bool audio = false;
            {
              LoopLock lock(connection->loop());
              audio = carriesAudio(connection->graph().state());
            }
            return OpenedCapture{std::make_unique<PipeWireCapture>(std::move(connection)), audio};
          }};
}

}  // namespace quenwick
