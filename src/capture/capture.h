// The capture interface: all that run control asks of a platform's audio layer, and all it hears
// back. It is as small as what every platform can do: find out whether there is something to
// hear, make what captures, say its format and its changes, deliver each captured cycle to a
// sink, stop, and say when the audio server goes away. Each backend speaks its platform's own
// language below it (Core Audio's process taps, PipeWire's graph), and words its failures in its
// platform's terms. Run control, the status events, the conversion, the timeline and the PCM
// output sit above it and never ask which platform they run on.
//
// The delivering thread: the one thread on which a capture hands its cycles to the sink, one at
// a time. Each backend says which thread of its platform that is. It runs in time with the audio
// layer, so nothing it calls may wait or, once warm, allocate; everything above the backends
// calls it by this name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/captured_cycle.h"
#include "capture/dispatch_queue.h"
#include "capture/process_targets.h"

namespace quenwick {

// Who to hear.
struct Hearing {
  bool global = false;  // the whole system but `leftOut`, or only `listed`
  // Processes mode: the pids the host listed, in its order. Empty in global mode.
  std::vector<std::int32_t> listed;
  // Global mode: the pids to leave out, the host's --exclude-self (when not 0) and then the
  // agent's parent. Empty in processes mode.
  std::vector<std::int32_t> leftOut;
  // The same processes by identity, each with its tree when asked: the one rule of who is a
  // target, followed for the whole run.
  ProcessTargets targets;
  // Whether to tell who plays (CaptureEvents::playingChanged), for the host's --report.
  bool followPlaying = false;
};

// A step that failed, in the words the user reads: what the platform said, and what to check.
struct CaptureFailure {
  std::string message;
};

// What every platform says when its audio server goes away.
inline constexpr const char* kServerWentAway = "the audio server went away";

// What a look at the layer's processes found. Global mode always has something to hear.
enum class Resolution { somethingToHear, nothingToHearYet };

// What the layer tells run control, always on the queue given to listen().
class CaptureEvents {
 public:
  // The layer's processes changed: one that was nothing to hear may be something now.
  virtual void processesChanged() = 0;
  // The delivered format changed, once per change however many times the layer announced it.
  virtual void formatChanged(const StreamFormat& format) = 0;
  // The audio server went away, and everything made with it; or, where the platform says so
  // (Windows' device invalidation), what the capture was made on did; or the capture can no
  // longer hear only what it must. `reason` says which, in the words the user reads: "the audio
  // server went away" when it is the server.
  virtual void serverGone(std::string reason) = 0;
  // With Hearing::followPlaying, from create() on: the pids of the processes whose sound
  // reaches the capture now, each once, whenever they change.
  virtual void playingChanged(std::vector<std::int32_t> pids) = 0;

 protected:
  ~CaptureEvents() = default;
};

// One capture, for one run. Main thread, in this order: listen(), resolve() (again, while there
// is nothing to hear yet), create(), format(), start(); then halt() or teardown() at most once.
class Capture {
 public:
  virtual ~Capture() = default;

  // From now on the layer's events reach `events` on `queue`; both outlive the capture. Before
  // the first look at the processes, so that a change in between is not missed.
  virtual void listen(DispatchQueue& queue, CaptureEvents& events) = 0;

  // Looks at who plays now. A layer that cannot be reached is a failure, never "nothing to hear".
  virtual std::variant<Resolution, CaptureFailure> resolve(const Hearing& hearing) = 0;

  // Makes what captures what the last resolve() found, following its targets from then on.
  virtual std::optional<CaptureFailure> create() = 0;

  // The format the capture delivers now. Changes come to CaptureEvents::formatChanged from the
  // moment this is called.
  virtual std::variant<StreamFormat, CaptureFailure> format() = 0;

  // Delivers every cycle captured from now on to `sink`, on the delivering thread, with
  // the format it was captured in and its time in nanoseconds. A layer that kept the cycles
  // captured since create() delivers those first, in their order and with their earlier times,
  // so that a late player's first sound is not lost. `sink` outlives the capture.
  virtual std::optional<CaptureFailure> start(CycleSink& sink) = 0;

  // About once a second while it delivers: looks again at what the layer may change without a
  // word (who plays, which processes it knows), as a listener would have.
  virtual void lookAgain() {}

  // No cycle is delivered after this returns (the server went away; nothing is left to destroy).
  virtual void halt() = 0;

  // Stops capture and removes everything made, in the platform's order (SIGTERM).
  virtual void teardown() = 0;

  // What a capture that hears only zeros while its processes play may mean on this platform,
  // and where to look; empty when the platform knows of no such cause.
  virtual std::string silenceAdvice() const = 0;
};

}  // namespace quenwick
