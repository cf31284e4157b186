#include "app/agent.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/main_queue.h"
#include "app/shutdown.h"
#include "app/status.h"
#include "capture/aggregate_device.h"
#include "capture/capture_start.h"
#include "capture/process_resolution.h"
#include "capture/tap.h"
#include "capture/tap_format.h"
#include "capture/uuid.h"
#include "convert/capture_callback.h"
#include "convert/format_handover.h"

namespace quenwick {
namespace {

constexpr int pcmHandle = STDOUT_FILENO;
// How long an ending agent gives a slow host to take the PCM it already has.
constexpr std::chrono::milliseconds kLastPcmPatience{500};
// How often a waiting agent looks whether any requested process still lives.
constexpr std::chrono::milliseconds kLivenessInterval{200};

enum ExitStatus : int {
  usageError = 1,
  audioLayerFailure = 2,
  writeFailure = 2,
  runFailure = 2,
  noAudioProcess = 3,
};

// The PCM stream's first failed write, noticed where the write happens (perhaps a real-time
// thread) and reported from the main queue.
std::atomic<int> pcmWriteError{0};
int pcmFailureAlarm = -1;

void onPcmWriteFailure(int error) noexcept {
  pcmWriteError.store(error);
  MainQueue::raise(pcmFailureAlarm);
}

void reportPcmWriteFailure() {
  const int error = pcmWriteError.load();
  // The host closed its end: leave silently, as on SIGPIPE (which a host may have ignored).
  if (error == EPIPE) _exit(0);
  fail("could not write the audio: " + std::string(std::strerror(error)), writeFailure);
}

// A host may start the agent with standard input, output or error closed. The descriptors that
// the agent and its audio layer open next would then take those numbers, and PCM or status
// lines would land in them; /dev/null holds the places instead.
void keepStandardDescriptorsTaken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int placeholder = open("/dev/null", O_RDWR);
      if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
      }
    }
  }
}

CaptureRequest parseOrFail(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto parsed = parseCommandLine(args);
  if (const auto* error = std::get_if<UsageError>(&parsed)) fail(error->message, usageError);
  return std::get<CaptureRequest>(std::move(parsed));
}

StatusEvent formatEvent(const CaptureRequest& request, const AudioStreamBasicDescription& format) {
  return {
      {"event", std::string("format")},
      {"sample_rate", format.mSampleRate},
      {"channels", std::int64_t{format.mChannelsPerFrame}},
      {"mode", std::string(request.global ? "global" : "processes")},
      {"pids", std::vector<std::int64_t>(request.pids.begin(), request.pids.end())},
  };
}

// Main queue: gives the tap the objects of the processes its targets cover now, if they changed.
void followTheTargets(AudioHardware& hardware, AudioObjectID tapID, TapDescription& description,
                      const ProcessTargets& targets) {
  auto now = coveredProcessObjects(hardware, targets);
  if (!now) return;
  auto sorted = [](std::vector<AudioObjectID> objects) {
    std::sort(objects.begin(), objects.end());
    objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
    return objects;
  };
  if (sorted(*now) == sorted(description.processes)) return;
  TapDescription next = description;
  next.processes = std::move(*now);
  const TapDescription* data = &next;
  if (hardware.setPropertyData(tapID, globalAddress(kAudioTapPropertyDescription), 0, nullptr,
                               sizeof data, &data) == kAudioHardwareNoError) {
    description = std::move(next);
  }
}

// Everything the start-up makes lives as long as the process: listeners and the audio layer's
// threads hold on to it, and no way out runs destructors.
struct Agent {
  CaptureRequest request;
  pid_t parentPid = 0;
  MainQueue mainQueue;
  FormatHandover handover;
  PcmOutput pcm{pcmHandle, onPcmWriteFailure};
  std::unique_ptr<AudioHardware> hardware;
  std::optional<CaptureCallback> captureCallback;
  ProcessTargets targets;
  TapDescription description;
  AudioObjectID tapID = kAudioObjectUnknown;
  std::optional<TapFormatTracker> tracker;
  bool waiting = false;  // --wait: for a requested process to become an audio process
};
Agent* agent = nullptr;

[[noreturn]] void failWith(FailedStep step, OSStatus status) {
  fail(agent->hardware->failureMessage(step, status), audioLayerFailure);
}

// The processes the tap is made with: the requested ones that are audio processes now, or in
// global mode those to leave out.
std::vector<AudioObjectID> resolveRequest() {
  AudioHardware& hardware = *agent->hardware;
  const CaptureRequest& request = agent->request;
  ProcessObjects resolved;
  if (request.tree) {
    OSStatus listed = kAudioHardwareNoError;
    resolved.objects =
        coveredProcessObjects(hardware, agent->targets, &listed).value_or(resolved.objects);
    if (listed == kAudioHardwareNotRunningError) resolved.unreachable = listed;
  } else if (request.global) {
    resolved = resolveExclusionList(hardware, request.excludeSelf, agent->parentPid);
  } else {
    resolved = resolveProcessList(hardware, request.pids);
  }
  // A layer that cannot be reached has no processes to tell of, which is no answer about them.
  if (resolved.unreachable != kAudioHardwareNoError) {
    failWith(FailedStep::reachLayer, resolved.unreachable);
  }
  return std::move(resolved.objects);
}

void endForNothingToHear() {
  fail("none of the requested processes are audio processes yet; is the app playing sound?",
       noAudioProcess);
}

// From "creating_tap" to "running": the tap, the device, the format, capture, and the ways out.
void buildCapture(std::vector<AudioObjectID> processes) {
  AudioHardware& hardware = *agent->hardware;
  const CaptureRequest& request = agent->request;

  // The tap.
  agent->description = makeTapDescription(request.global, std::move(processes));
  status({{"event", std::string("creating_tap")}});
  AudioObjectID createdTap = kAudioObjectUnknown;
  const OSStatus tapErr = hardware.createProcessTap(agent->description, &createdTap);
  agent->tapID = createdTap;
  if (tapErr != kAudioHardwareNoError) failWith(FailedStep::createTap, tapErr);

  // The private aggregate device that carries it.
  const std::string aggregateUID = makeRandomUuid();
  const AggregateDeviceDescription aggregateDescription =
      makeAggregateDescription(aggregateUID, agent->description);
  AudioObjectID aggregateID = kAudioObjectUnknown;
  const OSStatus aggErr = hardware.createAggregateDevice(aggregateDescription, &aggregateID);
  if (aggErr != kAudioHardwareNoError) failWith(FailedStep::createDevice, aggErr);

  // Its format, and the listeners that follow it, installed before the format is first read: a
  // change in between is then announced, not missed. Both notifications re-read the tap's
  // format; the tracker takes a change once, however many notifications announce it.
  TapFormatTracker& tracker = agent->tracker.emplace(hardware, agent->tapID, agent->handover);
  const auto refreshFormat = [](std::uint32_t, const AudioObjectPropertyAddress*) {
    if (const auto changed = agent->tracker->refreshFormat()) {
      StatusEvent event = formatEvent(agent->request, *changed);
      event.emplace_back("changed", true);
      status(event);
    }
  };
  hardware.addPropertyListener(agent->tapID, globalAddress(kAudioTapPropertyFormat),
                               agent->mainQueue, refreshFormat);
  hardware.addPropertyListener(aggregateID, globalAddress(kAudioDevicePropertyNominalSampleRate),
                               agent->mainQueue, refreshFormat);
  const auto initialFormat = tracker.readInitialFormat();
  if (!initialFormat) failWith(FailedStep::readFormat, kAudioHardwareNoError);
  status(formatEvent(request, *initialFormat));

  // Capture.
  AudioDeviceIOProcID procID = nullptr;
  const OSStatus ioErr =
      installCaptureCallback(hardware, aggregateID, *agent->captureCallback, &procID);
  if (ioErr != kAudioHardwareNoError) failWith(FailedStep::attach, ioErr);
  if (const OSStatus started = hardware.start(aggregateID, procID);
      started != kAudioHardwareNoError) {
    failWith(FailedStep::start, started);
  }

  // The audio server going away takes every audio object with it: the sound already captured
  // goes out, and the host hears why the agent ends.
  hardware.addPropertyListener(
      kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyServiceRestarted),
      agent->mainQueue, [aggregateID, procID](std::uint32_t, const AudioObjectPropertyAddress*) {
        agent->hardware->stop(aggregateID, procID);
        agent->pcm.drain(kLastPcmPatience);
        fail("the audio server went away", audioLayerFailure);
      });

  // Handled before the host hears "running", as a host may stop the agent the moment it does.
  installSignalHandlers(agent->mainQueue, hardware,
                        {.tapID = agent->tapID, .aggregateID = aggregateID, .procID = procID},
                        [] { agent->pcm.drain(kLastPcmPatience); });
  status({{"event", std::string("running")}});
}

// Main queue, while the agent waits (--wait): a requested process that has become an audio
// process starts the capture.
void lookForATarget() {
  auto processes = resolveRequest();
  if (processes.empty()) return;
  agent->waiting = false;
  buildCapture(std::move(processes));
}

}  // namespace

void runAgent(int argc, char** argv, const AudioLayerFactory& openAudioLayer) {
  // First of all: a parent that dies while the start-up is slow, or while a call into the audio
  // layer never returns, must still count as gone, not be replaced by whoever adopts the agent.
  const pid_t parentPid = getppid();
  unblockHandledSignals();
  startParentWatch(parentPid);
  keepStandardDescriptorsTaken();
  const CaptureRequest request = parseOrFail(argc, argv);

  static Agent running;
  agent = &running;
  agent->request = request;
  agent->parentPid = parentPid;
  if (!agent->mainQueue.valid()) {
    fail("could not run: " + std::string(std::strerror(errno)), runFailure);
  }
  pcmFailureAlarm = agent->mainQueue.addAlarm(reportPcmWriteFailure);
  agent->hardware = openAudioLayer();
  AudioHardware& hardware = *agent->hardware;
  agent->captureCallback.emplace(agent->handover, agent->pcm, hardware.hostClock());

  // Who to hear, or who to leave out: the processes the host named, for the whole run. The
  // audio layer's process list is followed from before it is first read, so that a process that
  // connects in between is not missed.
  agent->targets = ProcessTargets::ofAlive(
      request.global ? std::vector<std::int32_t>{request.excludeSelf, parentPid} : request.pids,
      request.tree);
  const auto followTargets = [](std::uint32_t, const AudioObjectPropertyAddress*) {
    if (agent->waiting) return lookForATarget();
    if (agent->tapID != kAudioObjectUnknown) {
      followTheTargets(*agent->hardware, agent->tapID, agent->description, agent->targets);
    }
  };
  hardware.addPropertyListener(kAudioObjectSystemObject,
                               globalAddress(kAudioHardwarePropertyProcessObjectList),
                               agent->mainQueue, followTargets);
  auto processes = resolveRequest();
  if (request.global || !processes.empty()) {
    buildCapture(std::move(processes));
  } else if (request.wait && agent->targets.anyAlive()) {
    // Nothing to hear yet: the process list is followed until a target shows in it, for as
    // long as one of them lives.
    agent->waiting = true;
    agent->mainQueue.repeat(kLivenessInterval, [] {
      if (agent->waiting && !agent->targets.anyAlive()) endForNothingToHear();
      return agent->waiting;
    });
  } else {
    endForNothingToHear();
  }
  agent->mainQueue.run();
  fail("could not run: " + std::string(std::strerror(errno)), runFailure);
}

}  // namespace quenwick
