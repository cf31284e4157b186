#include "capture/loopback/activation.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quenwick::loopback {
namespace {

constexpr auto kNoInterface = static_cast<HRESULT>(0x80004002);  // E_NOINTERFACE

// Told once, on whichever thread the system completes on; holds no lock while the activation
// is asked for, so a completion inside the call finds it free.
class Completion final : public ActivateAudioInterfaceCompletionHandler {
 public:
  void activateCompleted(ActivateAudioInterfaceAsyncOperation& operation) override {
    HRESULT result = kOk;
    std::unique_ptr<AudioClient> client;
    const HRESULT got = operation.getActivateResult(&result, &client);
    std::lock_guard lock(mutex_);
    activated_.status = !succeeded(got) ? got : !succeeded(result) ? result : kOk;
    if (succeeded(activated_.status) && client == nullptr) activated_.status = kNoInterface;
    activated_.client = std::move(client);
    done_ = true;
    completed_.notify_all();
  }

  // A completion that comes after the wait was given up on finds the handler still held by the
  // system, and its client is released with it.
  Activated wait() {
    std::unique_lock lock(mutex_);
    if (!completed_.wait_for(lock, std::chrono::seconds(kActivationSeconds),
                             [this] { return done_; })) {
      return {kActivationTimedOut, nullptr};
    }
    return std::move(activated_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable completed_;
  bool done_ = false;
  Activated activated_;
};

}  // namespace

Activated activateProcessLoopback(WindowsAudio& audio, DWORD targetPid,
                                  PROCESS_LOOPBACK_MODE mode) {
  AUDIOCLIENT_ACTIVATION_PARAMS params{};
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams = {targetPid, mode};
  BlobPropVariant blob;
  blob.cbSize = sizeof params;
  blob.pBlobData = reinterpret_cast<const unsigned char*>(&params);
  auto completion = std::make_shared<Completion>();
  const HRESULT called =
      audio.activateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, blob, completion);
  // A call that fails completes nothing.
  if (!succeeded(called)) return {called, nullptr};
  return completion->wait();
}

}  // namespace quenwick::loopback
