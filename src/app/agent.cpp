#include "app/agent.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
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

}  // namespace

void runAgent(int argc, char** argv, const AudioLayerFactory& openAudioLayer) {
  // First of all: a parent that dies while the start-up is slow, or while a call into the audio
  // layer never returns, must still count as gone, not be replaced by whoever adopts the agent.
  const pid_t parentPid = getppid();
  unblockHandledSignals();
  startParentWatch(parentPid);
  keepStandardDescriptorsTaken();
  const CaptureRequest request = parseOrFail(argc, argv);

  // Everything below lives as long as the process: listeners and the audio layer's threads hold
  // on to it, and no way out runs destructors.
  static MainQueue mainQueue;
  if (!mainQueue.valid()) fail("could not run: " + std::string(std::strerror(errno)), runFailure);
  pcmFailureAlarm = mainQueue.addAlarm(reportPcmWriteFailure);
  static FormatHandover handover;
  static PcmOutput pcm(pcmHandle, onPcmWriteFailure);
  static const std::unique_ptr<AudioHardware> audioLayer = openAudioLayer();
  AudioHardware& hardware = *audioLayer;
  static CaptureCallback captureCallback(handover, pcm, hardware.hostClock());
  const auto failWith = [&hardware](FailedStep step, OSStatus status) {
    fail(hardware.failureMessage(step, status), audioLayerFailure);
  };

  // Who to hear, or who to leave out: the processes the host named, for the whole run. The
  // audio layer's process list is followed from before it is first read, so that a process that
  // connects in between is not missed.
  static const ProcessTargets targets = ProcessTargets::ofAlive(
      request.global ? std::vector<std::int32_t>{request.excludeSelf, parentPid} : request.pids,
      request.tree);
  static TapDescription description;
  static AudioObjectID tapID = kAudioObjectUnknown;
  const auto followTargets = [](std::uint32_t, const AudioObjectPropertyAddress*) {
    if (tapID != kAudioObjectUnknown) followTheTargets(*audioLayer, tapID, description, targets);
  };
  hardware.addPropertyListener(kAudioObjectSystemObject,
                               globalAddress(kAudioHardwarePropertyProcessObjectList), mainQueue,
                               followTargets);
  ProcessObjects resolved;
  if (request.tree) {
    OSStatus listed = kAudioHardwareNoError;
    resolved.objects = coveredProcessObjects(hardware, targets, &listed).value_or(resolved.objects);
    if (listed == kAudioHardwareNotRunningError) resolved.unreachable = listed;
  } else if (request.global) {
    resolved = resolveExclusionList(hardware, request.excludeSelf, parentPid);
  } else {
    resolved = resolveProcessList(hardware, request.pids);
  }
  // A layer that cannot be reached has no processes to tell of, which is no answer about them.
  if (resolved.unreachable != kAudioHardwareNoError) {
    failWith(FailedStep::reachLayer, resolved.unreachable);
  }
  if (!request.global && resolved.objects.empty()) {
    fail("none of the requested processes are audio processes yet; is the app playing sound?",
         noAudioProcess);
  }

  // The tap.
  description = makeTapDescription(request.global, std::move(resolved.objects));
  status({{"event", std::string("creating_tap")}});
  AudioObjectID createdTap = kAudioObjectUnknown;
  const OSStatus tapErr = hardware.createProcessTap(description, &createdTap);
  tapID = createdTap;
  if (tapErr != kAudioHardwareNoError) failWith(FailedStep::createTap, tapErr);

  // The private aggregate device that carries it.
  const std::string aggregateUID = makeRandomUuid();
  const AggregateDeviceDescription aggregateDescription =
      makeAggregateDescription(aggregateUID, description);
  AudioObjectID aggregateID = kAudioObjectUnknown;
  const OSStatus aggErr = hardware.createAggregateDevice(aggregateDescription, &aggregateID);
  if (aggErr != kAudioHardwareNoError) failWith(FailedStep::createDevice, aggErr);

  // Its format, and the listeners that follow it, installed before the format is first read: a
  // change in between is then announced, not missed. Both notifications re-read the tap's
  // format; the tracker takes a change once, however many notifications announce it.
  static TapFormatTracker tracker(*audioLayer, tapID, handover);
  const auto refreshFormat = [request](std::uint32_t, const AudioObjectPropertyAddress*) {
    if (const auto changed = tracker.refreshFormat()) {
      StatusEvent event = formatEvent(request, *changed);
      event.emplace_back("changed", true);
      status(event);
    }
  };
  hardware.addPropertyListener(tapID, globalAddress(kAudioTapPropertyFormat), mainQueue,
                               refreshFormat);
  hardware.addPropertyListener(aggregateID, globalAddress(kAudioDevicePropertyNominalSampleRate),
                               mainQueue, refreshFormat);
  const auto initialFormat = tracker.readInitialFormat();
  if (!initialFormat) failWith(FailedStep::readFormat, kAudioHardwareNoError);
  status(formatEvent(request, *initialFormat));

  // Capture.
  AudioDeviceIOProcID procID = nullptr;
  const OSStatus ioErr = installCaptureCallback(hardware, aggregateID, captureCallback, &procID);
  if (ioErr != kAudioHardwareNoError) failWith(FailedStep::attach, ioErr);
  if (const OSStatus started = hardware.start(aggregateID, procID);
      started != kAudioHardwareNoError) {
    failWith(FailedStep::start, started);
  }

  // The audio server going away takes every audio object with it: the sound already captured
  // goes out, and the host hears why the agent ends.
  hardware.addPropertyListener(
      kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyServiceRestarted), mainQueue,
      [aggregateID, procID](std::uint32_t, const AudioObjectPropertyAddress*) {
        audioLayer->stop(aggregateID, procID);
        pcm.drain(kLastPcmPatience);
        fail("the audio server went away", audioLayerFailure);
      });

  // Handled before the host hears "running", as a host may stop the agent the moment it does.
  installSignalHandlers(mainQueue, hardware,
                        {.tapID = tapID, .aggregateID = aggregateID, .procID = procID},
                        [] { pcm.drain(kLastPcmPatience); });
  status({{"event", std::string("running")}});
  mainQueue.run();
  fail("could not run: " + std::string(std::strerror(errno)), runFailure);
}

}  // namespace quenwick
