// The delivering thread: registered with MMCSS as "Audio", it sleeps on the one event that every
// loopback client sets when a packet is ready, or until the next period is due by time; then it
// takes every client's packets, mixes them by position and delivers each period that is due.
// Once running it allocates nothing.
//
// Its clock is the performance counter less the time the machine slept: the counter goes on
// through a sleep, and the unbiased interrupt time does not, so a round that sees the two part
// ways knows how long the machine slept since the round before. The timeline counts only the
// time awake: a wake is no stall to fill with periods of silence, and the cycles' times leave
// the sleep out, as every platform's clock of captured time does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "capture/captured_cycle.h"
#include "capture/loopback/windows_audio.h"
#include "capture/mixing/packet_mixer.h"

namespace quenwick::loopback {

class CaptureLoop {
 public:
  // How long GetBuffer may fail for a client, in 100 ns units of time awake, before the capture
  // gives up: its passing failures (a suspended stream, a reset under way) last far less.
  static constexpr std::uint64_t kLongestFailure = 20'000'000;  // 2 s
  // How far the two clocks may part in one round without a sleep: a few ticks of the coarse
  // interrupt time, which moves up to 15.625 ms at a time.
  static constexpr std::uint64_t kLeastSleep = 1'000'000;  // 100 ms
  // How far ahead of the clock a packet's position may be before it is taken for absurd: a
  // packet is recorded before it is read.
  static constexpr std::uint64_t kFarthestAhead = 1'000'000;  // 100 ms

  // `clients` and `event` (set by all of them) outlive the loop.
  CaptureLoop(WindowsAudio& audio, std::vector<AudioCaptureClient*> clients, EventHandle event,
              std::uint32_t rate, std::uint32_t periodFrames);
  ~CaptureLoop() { stop(); }

  // Main thread. The timeline starts now; `ended` is called once, on the delivering thread, with
  // the failure that ended the capture: the audio service's or the device's end, or a client's
  // GetBuffer that kept failing. Nothing is delivered after it. The delivering thread's own
  // CoInitializeEx failure, when it could not join the multithreaded apartment, is returned
  // instead, and then the thread has ended.
  HRESULT start(CycleSink& sink, std::function<void(HRESULT)> ended);

  // Main thread, at any time, as often as it likes. No cycle is delivered once this returns.
  void stop();

 private:
  void run() noexcept;
  HRESULT takePackets(std::uint64_t at) noexcept;  // a failure that ends the capture, or kOk
  std::uint64_t counter() noexcept;                // the performance counter in 100 ns units
  // The counter, and how far the unbiased interrupt time is behind it.
  std::uint64_t readClocks(std::uint64_t* counted) noexcept;
  std::uint64_t now() noexcept;  // the loop's clock, with a sleep told apart
  // How a packet is placed, and where: by its position, or by its arrival when that is absent.
  bool untimed(DWORD flags, std::uint64_t position) const noexcept;
  PacketMixer::Timing timing(std::size_t client, DWORD flags,
                             std::uint64_t position) const noexcept;
  std::uint64_t placedAt(DWORD flags, std::uint64_t position, std::uint32_t frames) const noexcept;
  // A position of the performance counter on the loop's clock.
  std::uint64_t awake(std::uint64_t position) const noexcept {
    return position - (position >= woke_ ? slept_ : sleptBefore_);
  }

  WindowsAudio& audio_;
  const std::vector<AudioCaptureClient*> clients_;
  std::vector<std::uint64_t> failingSince_;  // delivering thread: kNotFailing, or since when
  // Delivering thread: the first and the last round that found a client without packets since its
  // last one, or kNotDry.
  std::vector<std::uint64_t> dryFrom_, dryTo_;
  const EventHandle event_;
  const std::uint32_t rate_;
  const std::int64_t frequency_;
  PacketMixer mixer_;
  CycleSink* sink_ = nullptr;
  std::function<void(HRESULT)> ended_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex joinMutex_;
  std::condition_variable joinTold_;
  std::optional<HRESULT> joined_;  // under joinMutex_: the delivering thread's CoInitializeEx
  // The delivering thread's, once started: the counter and how far the unbiased interrupt time
  // was behind it at the last round; the time slept that the clock leaves out from `woke_` on,
  // and before it, for the packets of before the last sleep that are read after it.
  std::uint64_t counter_ = 0;
  std::uint64_t apart_ = 0;
  std::uint64_t slept_ = 0;
  std::uint64_t sleptBefore_ = 0;
  std::uint64_t woke_ = 0;
};

}  // namespace quenwick::loopback
