#include "capture/loopback/capture_loop.h"

#include <algorithm>

namespace quenwick::loopback {
namespace {

constexpr std::uint64_t kUnitsPerSecond = 10'000'000;  // 100 ns units
constexpr std::uint64_t kUnitsPerMillisecond = 10'000;
// Packets taken from one client in one round: far more than its buffer holds.
constexpr int kMostPacketsAtOnce = 1024;

bool serviceGone(HRESULT code) {
  return code == kServiceNotRunning || code == kDeviceInvalidated;
}

}  // namespace

CaptureLoop::CaptureLoop(WindowsAudio& audio, std::vector<AudioCaptureClient*> clients,
                         EventHandle event, std::uint32_t rate, std::uint32_t periodFrames)
    : audio_(audio),
      clients_(std::move(clients)),
      failed_(clients_.size(), false),
      event_(event),
      frequency_(std::max<std::int64_t>(audio.queryPerformanceFrequency(), 1)),
      mixer_(clients_.size(), rate, periodFrames) {}

std::uint64_t CaptureLoop::now() noexcept {
  const auto ticks = static_cast<std::uint64_t>(audio_.queryPerformanceCounter());
  const auto frequency = static_cast<std::uint64_t>(frequency_);
  return ticks / frequency * kUnitsPerSecond + ticks % frequency * kUnitsPerSecond / frequency;
}

void CaptureLoop::start(CycleSink& sink, std::function<void()> serverGone) {
  sink_ = &sink;
  serverGone_ = std::move(serverGone);
  mixer_.begin(now());
  thread_ = std::thread([this] { run(); });
}

void CaptureLoop::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  audio_.setEvent(event_);
  thread_.join();
}

void CaptureLoop::run() noexcept {
  DWORD taskIndex = 0;
  const AvrtHandle task = audio_.avSetMmThreadCharacteristics(u"Audio", &taskIndex);
  while (!stopping_.load()) {
    // Read before the packets are taken: every packet of a period that had ended by then is
    // taken in this round, whichever client it belongs to.
    const std::uint64_t at = now();
    if (!takePackets()) {
      serverGone_();
      break;
    }
    mixer_.emitDue(at, *sink_);
    const std::uint64_t wait = mixer_.dueIn(at);
    audio_.waitForSingleObject(event_,
                               static_cast<DWORD>(std::max<std::uint64_t>(
                                   1, (wait + kUnitsPerMillisecond - 1) / kUnitsPerMillisecond)));
  }
  if (task != nullptr) audio_.avRevertMmThreadCharacteristics(task);
}

bool CaptureLoop::takePackets() noexcept {
  for (std::size_t client = 0; client < clients_.size(); ++client) {
    for (int packet = 0; packet < kMostPacketsAtOnce && !failed_[client]; ++packet) {
      unsigned char* data = nullptr;
      std::uint32_t frames = 0;
      DWORD flags = 0;
      std::uint64_t devicePosition = 0;
      std::uint64_t qpcPosition = 0;
      const HRESULT got =
          clients_[client]->getBuffer(&data, &frames, &flags, &devicePosition, &qpcPosition);
      if (got == kBufferEmpty) break;
      if (serviceGone(got)) return false;
      // Any other failure leaves this client's process unheard; the others go on.
      if (!succeeded(got)) {
        failed_[client] = true;
        break;
      }
      const bool silent = (flags & kBufferFlagsSilent) != 0;
      const bool untimed = (flags & kBufferFlagsTimestampError) != 0;
      mixer_.add(client, silent ? nullptr : reinterpret_cast<const float*>(data), frames,
                 untimed ? PacketMixer::Timing::untimed : PacketMixer::Timing::timed, qpcPosition);
      clients_[client]->releaseBuffer(frames);
    }
  }
  return true;
}

}  // namespace quenwick::loopback
