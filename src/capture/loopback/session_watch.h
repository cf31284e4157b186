// The audio sessions of the render endpoints, from their session managers: which processes have
// a session (something to hear), a new session (the processes changed), and which sessions are
// active (who plays). The system tells of new sessions and of state changes on threads of its
// own; each becomes a job on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "capture/capture.h"
#include "capture/loopback/windows_audio.h"

namespace quenwick::loopback {

class SessionWatch final {
 public:
  explicit SessionWatch(WindowsAudio& audio) : audio_(audio) {}
  // Main thread: every registration ends, and no job of the watch's runs after this.
  ~SessionWatch();
  SessionWatch(const SessionWatch&) = delete;
  SessionWatch& operator=(const SessionWatch&) = delete;

  // Main thread: the active render endpoints' session managers, listened to from now on.
  // `changed` runs on `queue` after each new session and, once following, each change of a
  // followed session's state. `queue` outlives the watch.
  void listen(DispatchQueue& queue, std::function<void()> changed);

  // Why the endpoints could not be reached (the audio service), or kOk.
  HRESULT failure() const { return failure_; }
  // Main thread, after a listen() without failure.
  DeviceEnumerator& devices() { return *devices_; }

  // Main queue: the pid of every session of the render endpoints now.
  std::vector<DWORD> sessionPids();

  // Main queue: follows the state of every session, those there now and those made later.
  void followStates();

  // Main queue: the pids of the followed sessions that are active now, ascending, each once.
  std::vector<DWORD> activePids();

 private:
  class Relay;

  std::vector<std::shared_ptr<AudioSessionControl>> sessions();
  void follow(std::shared_ptr<AudioSessionControl> session);
  void sessionCreated(std::shared_ptr<AudioSessionControl> session);

  WindowsAudio& audio_;
  HRESULT failure_ = kOk;
  std::unique_ptr<DeviceEnumerator> devices_;
  std::vector<std::unique_ptr<Device>> endpoints_;
  std::vector<std::unique_ptr<AudioSessionManager>> managers_;
  std::shared_ptr<Relay> relay_;  // what the registrations hold
  std::function<void()> changed_;
  bool following_ = false;                                      // main queue
  std::vector<std::shared_ptr<AudioSessionControl>> told_;      // main queue: notified ones
  std::vector<std::shared_ptr<AudioSessionControl>> followed_;  // main queue
};

}  // namespace quenwick::loopback
