#include "capture/loopback/session_watch.h"

#include <algorithm>

namespace quenwick::loopback {

// What the system's threads call, held by the registrations however long the system keeps them:
// it only posts to the main queue, and a job runs only while the watch it was for lives.
class SessionWatch::Relay final : public AudioSessionNotification,
                                  public AudioSessionEvents,
                                  public std::enable_shared_from_this<Relay> {
 public:
  Relay(DispatchQueue& queue, SessionWatch& watch) : queue_(queue), watch_(&watch) {}
  void forget() { watch_ = nullptr; }

  // The system's threads: nothing here may wait, nor call back into the session manager.
  void onSessionCreated(std::shared_ptr<AudioSessionControl> session) override {
    queue_.post([relay = shared_from_this(), session = std::move(session)]() mutable {
      if (relay->watch_ != nullptr) relay->watch_->sessionCreated(std::move(session));
    });
  }
  void onStateChanged(AudioSessionState) override { changed(); }
  void onSessionDisconnected() override { changed(); }

 private:
  void changed() {
    queue_.post([relay = shared_from_this()] {
      if (relay->watch_ != nullptr) relay->watch_->changed_();
    });
  }

  DispatchQueue& queue_;
  SessionWatch* watch_;  // main queue
};

SessionWatch::~SessionWatch() {
  if (!relay_) return;
  relay_->forget();
  for (const auto& session : followed_) session->unregisterAudioSessionNotification(*relay_);
  for (const auto& manager : managers_) manager->unregisterSessionNotification(*relay_);
}

void SessionWatch::listen(DispatchQueue& queue, std::function<void()> changed) {
  relay_ = std::make_shared<Relay>(queue, *this);
  changed_ = std::move(changed);
  failure_ = audio_.createDeviceEnumerator(&devices_);
  if (!succeeded(failure_)) return;
  failure_ = devices_->enumAudioEndpoints(DataFlow::render, kDeviceStateActive, &endpoints_);
  if (!succeeded(failure_)) return;
  for (const auto& endpoint : endpoints_) {
    std::unique_ptr<AudioSessionManager> manager;
    if (!succeeded(endpoint->activateSessionManager(&manager))) continue;
    // Registered first, then asked for its sessions: a manager drops the news of new sessions
    // until it has been asked how many there are, and one made in between is told of.
    manager->registerSessionNotification(relay_);
    std::unique_ptr<AudioSessionEnumerator> first;
    int count = 0;
    if (succeeded(manager->getSessionEnumerator(&first))) first->getCount(&count);
    managers_.push_back(std::move(manager));
  }
}

std::vector<std::shared_ptr<AudioSessionControl>> SessionWatch::sessions() {
  std::vector<std::shared_ptr<AudioSessionControl>> found;
  for (const auto& manager : managers_) {
    // An enumerator holds the sessions of its moment: a new one for each look.
    std::unique_ptr<AudioSessionEnumerator> enumerator;
    int count = 0;
    if (!succeeded(manager->getSessionEnumerator(&enumerator)) ||
        !succeeded(enumerator->getCount(&count))) {
      continue;
    }
    for (int index = 0; index < count; ++index) {
      std::shared_ptr<AudioSessionControl> session;
      if (succeeded(enumerator->getSession(index, &session)) && session) {
        found.push_back(std::move(session));
      }
    }
  }
  // An enumerator may not know of the sessions that notifications brought: they are kept while
  // they last. One it lists as well is there twice, which its pid and its state bear.
  for (const auto& session : told_) {
    AudioSessionState state = AudioSessionState::inactive;
    if (succeeded(session->getState(&state)) && state != AudioSessionState::expired) {
      found.push_back(session);
    }
  }
  return found;
}

std::vector<DWORD> SessionWatch::sessionPids() {
  std::vector<DWORD> pids;
  for (const auto& session : sessions()) {
    DWORD pid = 0;
    if (succeeded(session->getProcessId(&pid))) pids.push_back(pid);
  }
  return pids;
}

void SessionWatch::followStates() {
  following_ = true;
  for (auto& session : sessions()) follow(std::move(session));
}

void SessionWatch::follow(std::shared_ptr<AudioSessionControl> session) {
  session->registerAudioSessionNotification(relay_);
  followed_.push_back(std::move(session));
}

std::vector<DWORD> SessionWatch::activePids() {
  std::vector<DWORD> pids;
  for (const auto& session : followed_) {
    AudioSessionState state = AudioSessionState::inactive;
    DWORD pid = 0;
    if (succeeded(session->getState(&state)) && state == AudioSessionState::active &&
        succeeded(session->getProcessId(&pid))) {
      pids.push_back(pid);
    }
  }
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  return pids;
}

void SessionWatch::sessionCreated(std::shared_ptr<AudioSessionControl> session) {
  told_.push_back(session);
  if (following_) follow(std::move(session));
  changed_();
}

}  // namespace quenwick::loopback
