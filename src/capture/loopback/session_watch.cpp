#include "capture/loopback/session_watch.h"

#include <algorithm>

namespace quenwick::loopback {

void SessionWatch::listen(DispatchQueue& queue, std::function<void()> changed) {
  queue_ = &queue;
  changed_ = std::move(changed);
  failure_ = audio_.createDeviceEnumerator(&devices_);
  if (!succeeded(failure_)) return;
  failure_ = devices_->enumAudioEndpoints(DataFlow::render, kDeviceStateActive, &endpoints_);
  if (!succeeded(failure_)) return;
  for (const auto& endpoint : endpoints_) {
    std::unique_ptr<AudioSessionManager> manager;
    if (!succeeded(endpoint->activateSessionManager(&manager))) continue;
    // A session manager tells of new sessions only once it has been asked for its sessions.
    std::unique_ptr<AudioSessionEnumerator> first;
    manager->getSessionEnumerator(&first);
    manager->registerSessionNotification(*this);
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
  session->registerAudioSessionNotification(*this);
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

// The system's threads: nothing here may wait, nor call back into the session manager.
void SessionWatch::onSessionCreated(std::shared_ptr<AudioSessionControl> session) {
  queue_->post([this, session = std::move(session)]() mutable {
    if (following_) follow(std::move(session));
    changed_();
  });
}

void SessionWatch::onStateChanged(AudioSessionState) {
  queue_->post([this] { changed_(); });
}

void SessionWatch::onSessionDisconnected() {
  queue_->post([this] { changed_(); });
}

}  // namespace quenwick::loopback
