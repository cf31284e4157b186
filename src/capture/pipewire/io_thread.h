// The agent's IO thread on PipeWire: drains the capture ring and hands each captured cycle to the
// IO block as a one-buffer list. It is the only thread that runs the block, so a host that stops
// reading our standard output stalls this thread and never PipeWire's graph.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/audio_hardware.h"
#include "capture/pipewire/capture_channel.h"

namespace quenwick::pipewire {

class IoThread {
 public:
  // `channel` must outlive the thread. Interleaved stereo float: 8 bytes a frame.
  IoThread(CaptureChannel& channel, AudioDeviceIOBlock block);
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  void start();
  bool running() const { return thread_.joinable(); }
  // Whether the thread has left its loop for good (also after a stop that gave up on it).
  bool finished();

  // Asks the thread to finish and waits for it at most `timeout`. Returns false when the
  // thread is still inside the block (a blocking write to a host that stopped reading): it is
  // then left behind, and this object and the channel must never be destroyed.
  bool stop(std::chrono::milliseconds timeout);

 private:
  void run();

  CaptureChannel& channel_;
  AudioDeviceIOBlock block_;
  std::unique_ptr<std::byte[]> scratch_;
  std::atomic<bool> stopping_{false};
  std::mutex finishedMutex_;  // taken once, when the thread ends
  std::condition_variable finishedSignal_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace quenwick::pipewire
