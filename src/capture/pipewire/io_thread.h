// The agent's IO proc on PipeWire. Each captured cycle goes to the IO block as a two-buffer list,
// a plane of float samples for each channel, in capture order and never on two threads at once.
//
// While the host keeps reading, PipeWire's data thread runs the block itself, as soon as it has
// the cycle, and no other thread wakes: the block's write goes through a twin of the output that
// never waits (NoWaitWrites), whatever the host does to its pipe. What the output cannot take at
// once is kept, and the cycles that follow go through the capture ring to our own thread, which
// writes the kept bytes first and may wait in its writes as long as the host takes: a host that
// stops reading stalls this thread, never PipeWire's graph. The data thread goes back to running
// the block once nothing is kept and the ring is empty. An output without such a twin (a file, a
// terminal) is always written by our thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/audio_hardware.h"
#include "capture/pipewire/capture_channel.h"
#include "convert/pcm_writer.h"

namespace quenwick::pipewire {

class IoThread {
 public:
  // `channel` must outlive the thread. The block writes what it makes of a cycle to `outputFd`,
  // as the agent's PCM stream.
  IoThread(CaptureChannel& channel, AudioDeviceIOBlock block, int outputFd);
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  // Starts the thread and attaches it to the channel.
  void start();
  bool running() const { return thread_.joinable(); }
  // Whether the thread has left its loop for good (also after a stop that gave up on it).
  bool finished();

  // Detaches from the channel, asks the thread to finish, once it has written what is queued, and
  // waits for both at most `timeout`.
  // Returns false when the thread is still inside the block (a blocking write to a host that
  // stopped reading): it is then left behind, and this object and the channel must never be
  // destroyed.
  bool stop(std::chrono::milliseconds timeout);

  // Data thread, through the channel: one captured cycle at `rate` frames a second.
  void receive(const float* left, const float* right, std::uint32_t frames,
               std::uint32_t rate) noexcept;

 private:
  void run();
  void drain();
  // Whichever thread holds the block: hands it one cycle.
  void runBlock(const float* left, const float* right, std::uint32_t frames) noexcept;

  CaptureChannel& channel_;
  AudioDeviceIOBlock block_;
  NoWaitWrites noWait_;
  std::unique_ptr<float[]> scratch_;  // a packet taken from the ring
  double sampleTime_ = 0.0;           // belongs to whichever thread holds the block
  // Set by our thread before it takes a cycle from the ring, cleared once it has run the block
  // for the last one: the data thread runs the block only while this is clear and the ring is
  // empty, so it never overtakes a queued cycle and never runs beside our thread.
  std::atomic<bool> ringHasBlock_{false};
  std::atomic<bool> stopping_{false};
  std::mutex finishedMutex_;  // taken once, when the thread ends
  std::condition_variable finishedSignal_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace quenwick::pipewire
