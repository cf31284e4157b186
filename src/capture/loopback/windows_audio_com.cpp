// Windows only: each operation of the seam as the one COM or Win32 call it is named after. The
// seam's objects hold their COM interface and release it when destroyed; the callbacks the
// system calls (completion, session notification, session events) are COM objects of ours that
// hand each call on to the backend's object.
#include "capture/loopback/windows_audio_com.h"

// clang-format off
#include <windows.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <avrt.h>
#include <mmdeviceapi.h>
// clang-format on

#include <atomic>
#include <utility>

namespace quenwick::loopback {
namespace {

// The seam's spellings are Windows' values.
static_assert(kOk == S_OK && kBufferEmpty == AUDCLNT_S_BUFFER_EMPTY);
static_assert(kDeviceInvalidated == AUDCLNT_E_DEVICE_INVALIDATED);
static_assert(kServiceNotRunning == AUDCLNT_E_SERVICE_NOT_RUNNING);
static_assert(kAccessDenied == E_ACCESSDENIED);
static_assert(kFalse == S_FALSE && kChangedMode == RPC_E_CHANGED_MODE);
static_assert(kResourcesInvalidated == AUDCLNT_E_RESOURCES_INVALIDATED);
static_assert(kBufferOperationPending == AUDCLNT_E_BUFFER_OPERATION_PENDING);
static_assert(kBufferError == AUDCLNT_E_BUFFER_ERROR);
static_assert(kBufferFlagsSilent == AUDCLNT_BUFFERFLAGS_SILENT &&
              kBufferFlagsDataDiscontinuity == AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
static_assert(kBufferFlagsTimestampError == AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR);
static_assert(kStreamFlagsLoopback == AUDCLNT_STREAMFLAGS_LOOPBACK);
static_assert(kStreamFlagsEventCallback == AUDCLNT_STREAMFLAGS_EVENTCALLBACK);
static_assert(kStreamFlagsAutoConvertPcm == AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM &&
              kStreamFlagsSrcDefaultQuality == AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY);
static_assert(static_cast<int>(ShareMode::shared) == AUDCLNT_SHAREMODE_SHARED);
static_assert(static_cast<int>(DataFlow::render) == eRender);
static_assert(static_cast<int>(Role::console) == eConsole);
static_assert(static_cast<int>(AudioSessionState::active) == AudioSessionStateActive);
static_assert(static_cast<int>(AudioSessionState::expired) == AudioSessionStateExpired);
static_assert(kDeviceStateActive == DEVICE_STATE_ACTIVE);
static_assert(kWaveFormatIeeeFloat == WAVE_FORMAT_IEEE_FLOAT);
static_assert(BlobPropVariant::kVtBlob == VT_BLOB);
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

template <typename Interface>
void release(Interface*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
}

// A COM object of ours: IUnknown over the interfaces it answers to.
template <typename Interface>
class ComObject : public Interface {
 public:
  virtual ~ComObject() = default;
  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

class CaptureClientCom final : public AudioCaptureClient {
 public:
  explicit CaptureClientCom(IAudioCaptureClient* client) : client_(client) {}
  ~CaptureClientCom() override { release(client_); }
  HRESULT getBuffer(unsigned char** data, std::uint32_t* framesToRead, DWORD* flags,
                    std::uint64_t* devicePosition, std::uint64_t* qpcPosition) override {
    BYTE* bytes = nullptr;
    UINT32 frames = 0;
    ::DWORD bufferFlags = 0;
    UINT64 device = 0;
    UINT64 qpc = 0;
    const ::HRESULT got = client_->GetBuffer(&bytes, &frames, &bufferFlags, &device, &qpc);
    *data = bytes;
    *framesToRead = frames;
    *flags = bufferFlags;
    *devicePosition = device;
    *qpcPosition = qpc;
    return got;
  }
  HRESULT releaseBuffer(std::uint32_t framesRead) override {
    return client_->ReleaseBuffer(framesRead);
  }

 private:
  IAudioCaptureClient* client_;
};

class AudioClientCom final : public AudioClient {
 public:
  explicit AudioClientCom(IAudioClient* client) : client_(client) {}
  ~AudioClientCom() override { release(client_); }
  HRESULT initialize(ShareMode mode, DWORD streamFlags, REFERENCE_TIME bufferDuration,
                     REFERENCE_TIME periodicity, const WaveFormat& format) override {
    WAVEFORMATEX wave{};
    wave.wFormatTag = format.wFormatTag;
    wave.nChannels = format.nChannels;
    wave.nSamplesPerSec = format.nSamplesPerSec;
    wave.nAvgBytesPerSec = format.nAvgBytesPerSec;
    wave.nBlockAlign = format.nBlockAlign;
    wave.wBitsPerSample = format.wBitsPerSample;
    wave.cbSize = format.cbSize;
    return client_->Initialize(static_cast<AUDCLNT_SHAREMODE>(mode), streamFlags, bufferDuration,
                               periodicity, &wave, nullptr);
  }
  HRESULT getMixFormat(WaveFormat* format) override {
    WAVEFORMATEX* mix = nullptr;
    const ::HRESULT got = client_->GetMixFormat(&mix);
    if (SUCCEEDED(got) && mix != nullptr) {
      *format = {mix->wFormatTag,  mix->nChannels,      mix->nSamplesPerSec, mix->nAvgBytesPerSec,
                 mix->nBlockAlign, mix->wBitsPerSample, mix->cbSize};
    }
    CoTaskMemFree(mix);
    return got;
  }
  HRESULT getDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) override {
    ::REFERENCE_TIME usual = 0;
    ::REFERENCE_TIME least = 0;
    const ::HRESULT got = client_->GetDevicePeriod(&usual, &least);
    *defaultPeriod = usual;
    *minimumPeriod = least;
    return got;
  }
  HRESULT setEventHandle(EventHandle event) override { return client_->SetEventHandle(event); }
  HRESULT getService(std::unique_ptr<AudioCaptureClient>* captureClient) override {
    IAudioCaptureClient* capture = nullptr;
    const ::HRESULT got =
        client_->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture));
    if (SUCCEEDED(got) && capture != nullptr) {
      *captureClient = std::make_unique<CaptureClientCom>(capture);
    }
    return got;
  }
  HRESULT start() override { return client_->Start(); }
  HRESULT stop() override { return client_->Stop(); }

 private:
  IAudioClient* client_;
};

class SessionEventsCom final : public ComObject<IAudioSessionEvents> {
 public:
  explicit SessionEventsCom(std::shared_ptr<AudioSessionEvents> events)
      : events_(std::move(events)) {}
  bool forwardsTo(const AudioSessionEvents& events) const { return events_.get() == &events; }
  ::HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
  ::HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
  ::HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
  ::HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(::DWORD, float*, ::DWORD, LPCGUID) override {
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
  ::HRESULT STDMETHODCALLTYPE OnStateChanged(::AudioSessionState state) override {
    events_->onStateChanged(static_cast<AudioSessionState>(state));
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason) override {
    events_->onSessionDisconnected();
    return S_OK;
  }

 private:
  const std::shared_ptr<AudioSessionEvents> events_;
};

class SessionControlCom final : public AudioSessionControl {
 public:
  explicit SessionControlCom(IAudioSessionControl2* session) : session_(session) {}
  ~SessionControlCom() override {
    release(sink_);
    release(session_);
  }
  HRESULT getProcessId(DWORD* pid) override {
    ::DWORD id = 0;
    const ::HRESULT got = session_->GetProcessId(&id);
    *pid = id;
    return got;
  }
  HRESULT getState(AudioSessionState* state) override {
    ::AudioSessionState now = AudioSessionStateInactive;
    const ::HRESULT got = session_->GetState(&now);
    *state = static_cast<AudioSessionState>(now);
    return got;
  }
  // One registration at a time: the sink is kept for its unregistration.
  HRESULT registerAudioSessionNotification(std::shared_ptr<AudioSessionEvents> events) override {
    auto* sink = new SessionEventsCom(std::move(events));
    const ::HRESULT got = session_->RegisterAudioSessionNotification(sink);
    if (SUCCEEDED(got)) std::swap(sink, sink_);
    release(sink);
    return got;
  }
  HRESULT unregisterAudioSessionNotification(const AudioSessionEvents& events) override {
    if (sink_ == nullptr || !sink_->forwardsTo(events)) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const ::HRESULT got = session_->UnregisterAudioSessionNotification(sink_);
    release(sink_);
    return got;
  }

 private:
  IAudioSessionControl2* session_;
  SessionEventsCom* sink_ = nullptr;
};

// The session control a manager hands over, as IAudioSessionControl2; null when it is none.
std::shared_ptr<AudioSessionControl> sessionOf(IAudioSessionControl* control) {
  IAudioSessionControl2* session = nullptr;
  if (control == nullptr || FAILED(control->QueryInterface(__uuidof(IAudioSessionControl2),
                                                           reinterpret_cast<void**>(&session)))) {
    return nullptr;
  }
  return std::make_shared<SessionControlCom>(session);
}

class SessionNotificationCom final : public ComObject<IAudioSessionNotification> {
 public:
  explicit SessionNotificationCom(std::shared_ptr<AudioSessionNotification> notification)
      : notification_(std::move(notification)) {}
  bool forwardsTo(const AudioSessionNotification& notification) const {
    return notification_.get() == &notification;
  }
  ::HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl* control) override {
    if (auto session = sessionOf(control)) notification_->onSessionCreated(std::move(session));
    return S_OK;
  }

 private:
  const std::shared_ptr<AudioSessionNotification> notification_;
};

class SessionEnumeratorCom final : public AudioSessionEnumerator {
 public:
  explicit SessionEnumeratorCom(IAudioSessionEnumerator* sessions) : sessions_(sessions) {}
  ~SessionEnumeratorCom() override { release(sessions_); }
  HRESULT getCount(int* count) override { return sessions_->GetCount(count); }
  HRESULT getSession(int index, std::shared_ptr<AudioSessionControl>* session) override {
    IAudioSessionControl* control = nullptr;
    const ::HRESULT got = sessions_->GetSession(index, &control);
    if (SUCCEEDED(got)) *session = sessionOf(control);
    release(control);
    return got;
  }

 private:
  IAudioSessionEnumerator* sessions_;
};

class SessionManagerCom final : public AudioSessionManager {
 public:
  explicit SessionManagerCom(IAudioSessionManager2* manager) : manager_(manager) {}
  ~SessionManagerCom() override {
    release(sink_);
    release(manager_);
  }
  HRESULT getSessionEnumerator(std::unique_ptr<AudioSessionEnumerator>* enumerator) override {
    IAudioSessionEnumerator* sessions = nullptr;
    const ::HRESULT got = manager_->GetSessionEnumerator(&sessions);
    if (SUCCEEDED(got) && sessions != nullptr) {
      *enumerator = std::make_unique<SessionEnumeratorCom>(sessions);
    }
    return got;
  }
  // One registration at a time: the sink is kept for its unregistration.
  HRESULT registerSessionNotification(
      std::shared_ptr<AudioSessionNotification> notification) override {
    auto* sink = new SessionNotificationCom(std::move(notification));
    const ::HRESULT got = manager_->RegisterSessionNotification(sink);
    if (SUCCEEDED(got)) std::swap(sink, sink_);
    release(sink);
    return got;
  }
  HRESULT unregisterSessionNotification(const AudioSessionNotification& notification) override {
    if (sink_ == nullptr || !sink_->forwardsTo(notification)) {
      return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    const ::HRESULT got = manager_->UnregisterSessionNotification(sink_);
    release(sink_);
    return got;
  }

 private:
  IAudioSessionManager2* manager_;
  SessionNotificationCom* sink_ = nullptr;
};

class DeviceCom final : public Device {
 public:
  explicit DeviceCom(IMMDevice* device) : device_(device) {}
  ~DeviceCom() override { release(device_); }
  HRESULT activateAudioClient(std::unique_ptr<AudioClient>* client) override {
    IAudioClient* activated = nullptr;
    const ::HRESULT got = device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                            reinterpret_cast<void**>(&activated));
    if (SUCCEEDED(got) && activated != nullptr) {
      *client = std::make_unique<AudioClientCom>(activated);
    }
    return got;
  }
  HRESULT activateSessionManager(std::unique_ptr<AudioSessionManager>* manager) override {
    IAudioSessionManager2* activated = nullptr;
    const ::HRESULT got = device_->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                            reinterpret_cast<void**>(&activated));
    if (SUCCEEDED(got) && activated != nullptr) {
      *manager = std::make_unique<SessionManagerCom>(activated);
    }
    return got;
  }

 private:
  IMMDevice* device_;
};

class DeviceEnumeratorCom final : public DeviceEnumerator {
 public:
  explicit DeviceEnumeratorCom(IMMDeviceEnumerator* devices) : devices_(devices) {}
  ~DeviceEnumeratorCom() override { release(devices_); }
  HRESULT getDefaultAudioEndpoint(DataFlow flow, Role role,
                                  std::unique_ptr<Device>* endpoint) override {
    IMMDevice* device = nullptr;
    const ::HRESULT got = devices_->GetDefaultAudioEndpoint(static_cast<EDataFlow>(flow),
                                                            static_cast<ERole>(role), &device);
    if (SUCCEEDED(got) && device != nullptr) *endpoint = std::make_unique<DeviceCom>(device);
    return got;
  }
  HRESULT enumAudioEndpoints(DataFlow flow, DWORD stateMask,
                             std::vector<std::unique_ptr<Device>>* endpoints) override {
    IMMDeviceCollection* collection = nullptr;
    ::HRESULT got =
        devices_->EnumAudioEndpoints(static_cast<EDataFlow>(flow), stateMask, &collection);
    UINT count = 0;
    if (SUCCEEDED(got)) got = collection->GetCount(&count);
    for (UINT index = 0; SUCCEEDED(got) && index < count; ++index) {
      IMMDevice* device = nullptr;
      if (SUCCEEDED(collection->Item(index, &device)) && device != nullptr) {
        endpoints->push_back(std::make_unique<DeviceCom>(device));
      }
    }
    release(collection);
    return got;
  }

 private:
  IMMDeviceEnumerator* devices_;
};

class AsyncOperationCom final : public ActivateAudioInterfaceAsyncOperation {
 public:
  explicit AsyncOperationCom(IActivateAudioInterfaceAsyncOperation* operation)
      : operation_(operation) {}
  HRESULT getActivateResult(HRESULT* activateResult,
                            std::unique_ptr<AudioClient>* activated) override {
    ::HRESULT result = S_OK;
    IUnknown* unknown = nullptr;
    const ::HRESULT got = operation_->GetActivateResult(&result, &unknown);
    *activateResult = result;
    IAudioClient* client = nullptr;
    if (SUCCEEDED(got) && SUCCEEDED(result) && unknown != nullptr &&
        SUCCEEDED(
            unknown->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&client)))) {
      *activated = std::make_unique<AudioClientCom>(client);
    }
    release(unknown);
    return got;
  }

 private:
  IActivateAudioInterfaceAsyncOperation* operation_;  // the system's, for the call's length
};

// The completion handler must be agile: it answers IAgileObject and hands IMarshal to the
// free-threaded marshaler it aggregates, so that the system may call it from any apartment.
class CompletionHandlerCom final : public IActivateAudioInterfaceCompletionHandler,
                                   public IAgileObject {
 public:
  explicit CompletionHandlerCom(std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler)
      : handler_(std::move(handler)) {
    CoCreateFreeThreadedMarshaler(static_cast<IActivateAudioInterfaceCompletionHandler*>(this),
                                  &marshaler_);
  }
  ~CompletionHandlerCom() { release(marshaler_); }

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
      *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (iid == __uuidof(IAgileObject)) {
      *object = static_cast<IAgileObject*>(this);
    } else if (iid == __uuidof(IMarshal) && marshaler_ != nullptr) {
      return marshaler_->QueryInterface(iid, object);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  ::HRESULT STDMETHODCALLTYPE
  ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override {
    AsyncOperationCom completed(operation);
    handler_->activateCompleted(completed);
    return S_OK;
  }

 private:
  std::atomic<ULONG> references_{1};
  IUnknown* marshaler_ = nullptr;
  const std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler_;
};

std::string utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string bytes(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

const wchar_t* wide(std::u16string_view text, std::wstring& room) {
  room.assign(text.begin(), text.end());
  return room.c_str();
}

class WindowsAudioCom final : public WindowsAudio {
 public:
  // Each opening joins the multithreaded apartment and leaves it once all it made is released.
  WindowsAudioCom()
      : joined_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)),
        precise_(reinterpret_cast<decltype(&QueryUnbiasedInterruptTimePrecise)>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                   "QueryUnbiasedInterruptTimePrecise")))) {}
  ~WindowsAudioCom() override {
    if (SUCCEEDED(joined_)) CoUninitialize();
  }

  HRESULT createDeviceEnumerator(std::unique_ptr<DeviceEnumerator>* enumerator) override {
    IMMDeviceEnumerator* devices = nullptr;
    const ::HRESULT got =
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                         __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&devices));
    if (SUCCEEDED(got) && devices != nullptr) {
      *enumerator = std::make_unique<DeviceEnumeratorCom>(devices);
    }
    return got;
  }

  HRESULT activateAudioInterfaceAsync(
      std::u16string_view path, const BlobPropVariant& params,
      std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler) override {
    PROPVARIANT variant{};
    variant.vt = params.vt;
    variant.blob.cbSize = params.cbSize;
    variant.blob.pBlobData = const_cast<BYTE*>(params.pBlobData);
    auto* completion = new CompletionHandlerCom(std::move(handler));
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    std::wstring room;
    const ::HRESULT called = ActivateAudioInterfaceAsync(wide(path, room), __uuidof(IAudioClient),
                                                         &variant, completion, &operation);
    release(operation);
    completion->Release();
    return called;
  }

  HRESULT coInitializeEx() override { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void coUninitialize() override { CoUninitialize(); }

  EventHandle createEvent() override { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }
  void setEvent(EventHandle event) override { SetEvent(event); }
  DWORD waitForSingleObject(EventHandle event, DWORD milliseconds) override {
    return WaitForSingleObject(event, milliseconds);
  }
  void closeHandle(EventHandle event) override { CloseHandle(event); }

  std::int64_t queryPerformanceCounter() override {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
  }
  std::int64_t queryPerformanceFrequency() override {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }
  std::uint64_t queryUnbiasedInterruptTime() override {
    ULONGLONG unbiased = 0;
    if (precise_ != nullptr) {
      precise_(&unbiased);
    } else {
      QueryUnbiasedInterruptTime(&unbiased);
    }
    return unbiased;
  }

  AvrtHandle avSetMmThreadCharacteristics(std::u16string_view task, DWORD* taskIndex) override {
    std::wstring room;
    ::DWORD index = 0;
    const HANDLE handle = AvSetMmThreadCharacteristicsW(wide(task, room), &index);
    *taskIndex = index;
    return handle;
  }
  void avRevertMmThreadCharacteristics(AvrtHandle handle) override {
    AvRevertMmThreadCharacteristics(handle);
  }

  std::string formatMessage(HRESULT code) override {
    wchar_t text[512];
    const ::DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<::DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                       sizeof text / sizeof text[0], nullptr);
    return utf8(text, static_cast<int>(length));
  }

 private:
  const ::HRESULT joined_;
  // Windows 10's kernel32 has it, mingw-w64's import library does not.
  decltype(&QueryUnbiasedInterruptTimePrecise) const precise_;
};

}  // namespace

std::unique_ptr<WindowsAudio> makeWindowsAudio() {
  return std::make_unique<WindowsAudioCom>();
}

}  // namespace quenwick::loopback
