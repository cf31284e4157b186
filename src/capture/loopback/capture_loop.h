// The delivering thread: registered with MMCSS as "Audio", it sleeps on the one event that every
// loopback client sets when a packet is ready, or until the next period is due by time; then it
// takes every client's packets, mixes them by position and delivers each period that is due.
// Once running it allocates nothing.
#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "capture/captured_cycle.h"
#include "capture/loopback/windows_audio.h"
#include "capture/mixing/packet_mixer.h"

namespace quenwick::loopback {

class CaptureLoop {
 public:
  // `clients` and `event` (set by all of them) outlive the loop.
  CaptureLoop(WindowsAudio& audio, std::vector<AudioCaptureClient*> clients, EventHandle event,
              std::uint32_t rate, std::uint32_t periodFrames);
  ~CaptureLoop() { stop(); }

  // Main thread. The timeline starts now; `serverGone` is called once, on the delivering thread,
  // when the audio service or the device went away, and nothing is delivered after it.
  void start(CycleSink& sink, std::function<void()> serverGone);

  // Main thread. No cycle is delivered once this returns.
  void stop();

 private:
  void run() noexcept;
  bool takePackets() noexcept;   // false once the service has gone
  std::uint64_t now() noexcept;  // the performance counter in 100 ns units

  WindowsAudio& audio_;
  const std::vector<AudioCaptureClient*> clients_;
  std::vector<bool> failed_;  // delivering thread: clients no longer read
  const EventHandle event_;
  const std::int64_t frequency_;
  PacketMixer mixer_;
  CycleSink* sink_ = nullptr;
  std::function<void()> serverGone_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace quenwick::loopback
