#include "capture/loopback/capture_loop.h"

#include <algorithm>
#include <limits>

namespace quenwick::loopback {
namespace {

constexpr std::uint64_t kUnitsPerSecond = 10'000'000;  // 100 ns units
constexpr std::uint64_t kUnitsPerMillisecond = 10'000;
constexpr std::uint64_t kNotFailing = std::numeric_limits<std::uint64_t>::max();
// The unbiased interrupt time's two readings around the counter's, in 100 ns units, that make one
// moment, and how often the three are read before the last reading is taken as it is.
constexpr std::uint64_t kOneMoment = 10'000;
constexpr int kMostClockReadings = 4;
// Packets taken from one client in one round: far more than its buffer holds.
constexpr int kMostPacketsAtOnce = 1024;
constexpr std::uint64_t kNotDry = std::numeric_limits<std::uint64_t>::max();
// How long a client seen without packets has stopped sending them.
constexpr std::uint64_t kLongDrought = 1'000'000;  // 100 ms

bool serviceGone(HRESULT code) {
  return code == kServiceNotRunning || code == kDeviceInvalidated;
}

}  // namespace

// A position that is absent (0, or flagged as not timed) or absurd (ahead of the clock) is no
// position: the packet is placed by its arrival, as having ended now.
bool CaptureLoop::untimed(DWORD flags, std::uint64_t position) const noexcept {
  return (flags & kBufferFlagsTimestampError) != 0 || position == 0 ||
         awake(position) > counter_ - slept_ + kFarthestAhead;
}

// An untimed packet after its client was seen dry for a while starts anew where it arrived; one
// that merely waited while this thread was held up follows the packet before it.
PacketMixer::Timing CaptureLoop::timing(std::size_t client, DWORD flags,
                                        std::uint64_t position) const noexcept {
  if (untimed(flags, position)) {
    return dryFrom_[client] != kNotDry && dryTo_[client] - dryFrom_[client] >= kLongDrought
               ? PacketMixer::Timing::resumed
               : PacketMixer::Timing::untimed;
  }
  return (flags & kBufferFlagsDataDiscontinuity) != 0 ? PacketMixer::Timing::restart
                                                      : PacketMixer::Timing::timed;
}

std::uint64_t CaptureLoop::placedAt(DWORD flags, std::uint64_t position,
                                    std::uint32_t frames) const noexcept {
  if (!untimed(flags, position)) return awake(position);
  return counter_ - slept_ - std::uint64_t{frames} * kUnitsPerSecond / rate_;
}

CaptureLoop::CaptureLoop(WindowsAudio& audio, std::vector<AudioCaptureClient*> clients,
                         EventHandle event, std::uint32_t rate, std::uint32_t periodFrames)
    : audio_(audio),
      clients_(std::move(clients)),
      failingSince_(clients_.size(), kNotFailing),
      dryFrom_(clients_.size(), kNotDry),
      dryTo_(clients_.size(), kNotDry),
      event_(event),
      rate_(std::max<std::uint32_t>(rate, 1)),
      frequency_(std::max<std::int64_t>(audio.queryPerformanceFrequency(), 1)),
      mixer_(clients_.size(), rate, periodFrames) {}

std::uint64_t CaptureLoop::counter() noexcept {
  const auto ticks = static_cast<std::uint64_t>(audio_.queryPerformanceCounter());
  const auto frequency = static_cast<std::uint64_t>(frequency_);
  return ticks / frequency * kUnitsPerSecond + ticks % frequency * kUnitsPerSecond / frequency;
}

// The two clocks as of one moment: a reading that the thread was held up in is taken again, or
// the time it was held would count as slept.
std::uint64_t CaptureLoop::readClocks(std::uint64_t* counted) noexcept {
  std::uint64_t unbiased = 0;
  for (int tries = 0; tries < kMostClockReadings; ++tries) {
    const std::uint64_t before = audio_.queryUnbiasedInterruptTime();
    *counted = counter();
    unbiased = audio_.queryUnbiasedInterruptTime();
    if (unbiased - before <= kOneMoment) break;
  }
  return *counted - unbiased;
}

std::uint64_t CaptureLoop::now() noexcept {
  std::uint64_t counted = 0;
  const std::uint64_t apart = readClocks(&counted);
  // Either clock may be ahead of the other: their difference is read as signed.
  if (const auto parted = static_cast<std::int64_t>(apart - apart_);
      parted > static_cast<std::int64_t>(kLeastSleep)) {
    sleptBefore_ = slept_;
    slept_ += static_cast<std::uint64_t>(parted);
    // A packet of before the sleep is at most the rounds' time awake past the last round's
    // counter, one of after it the time slept: the middle of the two readings tells them apart.
    woke_ = counter_ + (counted - counter_) / 2;
  }
  counter_ = counted;
  apart_ = apart;
  return counted - slept_;
}

HRESULT CaptureLoop::start(CycleSink& sink, std::function<void(HRESULT)> ended) {
  sink_ = &sink;
  ended_ = std::move(ended);
  // What the machine slept before counts as slept: captures made one after another in a run
  // tell their times on the same clock.
  apart_ = slept_ = sleptBefore_ = readClocks(&counter_);
  mixer_.begin(counter_ - slept_);
  thread_ = std::thread([this] { run(); });
  std::unique_lock lock(joinMutex_);
  joinTold_.wait(lock, [this] { return joined_.has_value(); });
  const HRESULT joined = *joined_;
  lock.unlock();
  if (!succeeded(joined)) thread_.join();
  return joined;
}

void CaptureLoop::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  audio_.setEvent(event_);
  thread_.join();
}

void CaptureLoop::run() noexcept {
  // The clients were made on the main thread, in the multithreaded apartment: this thread joins
  // it to call them, and leaves it at its end. One in another apartment may not call them.
  const HRESULT joined = audio_.coInitializeEx();
  {
    std::lock_guard lock(joinMutex_);
    joined_ = joined;
  }
  joinTold_.notify_one();
  if (!succeeded(joined)) return;
  DWORD taskIndex = 0;
  const AvrtHandle task = audio_.avSetMmThreadCharacteristics(u"Audio", &taskIndex);
  while (!stopping_.load()) {
    // Read before the packets are taken: every packet of a period that had ended by then is
    // taken in this round, whichever client it belongs to.
    const std::uint64_t at = now();
    if (const HRESULT failed = takePackets(at); !succeeded(failed)) {
      // What was captured goes out, and the silence up to the end: from there the outage's
      // silence is run control's.
      mixer_.flush(at, *sink_);
      ended_(failed);
      break;
    }
    mixer_.emitDue(at, *sink_);
    const std::uint64_t wait = mixer_.dueIn(at);
    audio_.waitForSingleObject(event_,
                               static_cast<DWORD>(std::max<std::uint64_t>(
                                   1, (wait + kUnitsPerMillisecond - 1) / kUnitsPerMillisecond)));
  }
  if (task != nullptr) audio_.avRevertMmThreadCharacteristics(task);
  audio_.coUninitialize();
}

HRESULT CaptureLoop::takePackets(std::uint64_t at) noexcept {
  for (std::size_t client = 0; client < clients_.size(); ++client) {
    for (int packet = 0; packet < kMostPacketsAtOnce; ++packet) {
      unsigned char* data = nullptr;
      std::uint32_t frames = 0;
      DWORD flags = 0;
      std::uint64_t devicePosition = 0;
      std::uint64_t qpcPosition = 0;
      const HRESULT got =
          clients_[client]->getBuffer(&data, &frames, &flags, &devicePosition, &qpcPosition);
      if (serviceGone(got)) return got;
      // Any other failure is taken to pass: the client is asked again next round, and what it
      // missed meanwhile is silence in its place. One that lasts ends the capture.
      if (!succeeded(got)) {
        if (failingSince_[client] == kNotFailing) failingSince_[client] = at;
        if (at - failingSince_[client] > kLongestFailure) return got;
        break;
      }
      failingSince_[client] = kNotFailing;
      if (got == kBufferEmpty) {
        if (dryFrom_[client] == kNotDry) dryFrom_[client] = at;
        dryTo_[client] = at;
        break;
      }
      // A packet younger than the clock's reading: the round took longer than a period, or the
      // machine slept in between, which the clocks tell now.
      if (qpcPosition > counter_) now();
      const bool silent = (flags & kBufferFlagsSilent) != 0;
      mixer_.add(client, silent ? nullptr : reinterpret_cast<const float*>(data), frames,
                 timing(client, flags, qpcPosition), placedAt(flags, qpcPosition, frames));
      dryFrom_[client] = kNotDry;
      clients_[client]->releaseBuffer(frames);
    }
  }
  return kOk;
}

}  // namespace quenwick::loopback
