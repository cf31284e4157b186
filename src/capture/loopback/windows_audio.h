// The process-loopback backend's own seam: the calls of Windows' audio stack that the backend
// makes, one operation each, in Windows' shapes: HRESULTs, DWORD process ids, 100 ns
// REFERENCE_TIMEs, QPC positions and the unbiased interrupt time, the interfaces of WASAPI and of
// the session manager as classes with their methods. Two implementations answer it: the COM
// translation (windows_audio_com.cpp, Windows only) and the scripted loopback in the tests, which
// answers as Microsoft's documentation says in every reading it allows. So every scripted test runs
// the code that Windows runs.
//
// Names that Windows' headers define as macros (S_OK, AUDCLNT_*) are spelled here in the
// project's style; the COM translation checks each value against the headers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quenwick::loopback {

using HRESULT = std::int32_t;
using DWORD = std::uint32_t;
using REFERENCE_TIME = std::int64_t;  // 100 ns units

inline constexpr bool succeeded(HRESULT hr) {
  return hr >= 0;
}

inline constexpr HRESULT kOk = 0;                    // S_OK
inline constexpr HRESULT kBufferEmpty = 0x08890001;  // AUDCLNT_S_BUFFER_EMPTY
inline constexpr auto kDeviceInvalidated =
    static_cast<HRESULT>(0x88890004);  // AUDCLNT_E_DEVICE_INVALIDATED
inline constexpr auto kServiceNotRunning =
    static_cast<HRESULT>(0x88890010);  // AUDCLNT_E_SERVICE_NOT_RUNNING
inline constexpr auto kAccessDenied = static_cast<HRESULT>(0x80070005);  // E_ACCESSDENIED
inline constexpr HRESULT kFalse = 1;                                     // S_FALSE
inline constexpr auto kChangedMode = static_cast<HRESULT>(0x80010106);   // RPC_E_CHANGED_MODE
// GetBuffer's passing failures: the stream is suspended, a reset is under way, no buffer to give.
inline constexpr auto kResourcesInvalidated =
    static_cast<HRESULT>(0x88890026);  // AUDCLNT_E_RESOURCES_INVALIDATED
inline constexpr auto kBufferOperationPending =
    static_cast<HRESULT>(0x8889000B);  // AUDCLNT_E_BUFFER_OPERATION_PENDING
inline constexpr auto kBufferError = static_cast<HRESULT>(0x88890018);  // AUDCLNT_E_BUFFER_ERROR

// GetBuffer's flags.
inline constexpr DWORD kBufferFlagsDataDiscontinuity = 0x1;  // ..._DATA_DISCONTINUITY
inline constexpr DWORD kBufferFlagsSilent = 0x2;             // AUDCLNT_BUFFERFLAGS_SILENT
inline constexpr DWORD kBufferFlagsTimestampError = 0x4;     // AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR

// Initialize's stream flags.
inline constexpr DWORD kStreamFlagsLoopback = 0x00020000;           // AUDCLNT_STREAMFLAGS_LOOPBACK
inline constexpr DWORD kStreamFlagsEventCallback = 0x00040000;      // ..._EVENTCALLBACK
inline constexpr DWORD kStreamFlagsAutoConvertPcm = 0x80000000;     // ..._AUTOCONVERTPCM
inline constexpr DWORD kStreamFlagsSrcDefaultQuality = 0x08000000;  // ..._SRC_DEFAULT_QUALITY

enum class ShareMode : std::uint32_t { shared = 0, exclusive = 1 };  // AUDCLNT_SHAREMODE
enum class DataFlow : std::uint32_t { render = 0, capture = 1 };     // EDataFlow
enum class Role : std::uint32_t { console = 0, multimedia = 1 };     // ERole
enum class AudioSessionState : std::uint32_t { inactive = 0, active = 1, expired = 2 };
inline constexpr DWORD kDeviceStateActive = 0x1;  // DEVICE_STATE_ACTIVE

// WAVEFORMATEX.
struct WaveFormat {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
};
inline constexpr std::uint16_t kWaveFormatIeeeFloat = 3;  // WAVE_FORMAT_IEEE_FLOAT

// A PROPVARIANT of type VT_BLOB: the only kind the backend passes.
struct BlobPropVariant {
  static constexpr std::uint16_t kVtBlob = 65;  // VT_BLOB
  std::uint16_t vt = kVtBlob;
  std::uint32_t cbSize = 0;
  const unsigned char* pBlobData = nullptr;
};

// A kernel event object (CreateEvent), or a thread's MMCSS registration; null: none.
using EventHandle = void*;
using AvrtHandle = void*;
inline constexpr DWORD kWaitObject0 = 0;      // WAIT_OBJECT_0
inline constexpr DWORD kWaitTimeout = 0x102;  // WAIT_TIMEOUT

// IAudioCaptureClient. The delivering thread's calls: they never wait.
class AudioCaptureClient {
 public:
  virtual ~AudioCaptureClient() = default;
  // The next packet: its data (to be read as the format asked at Initialize), its frames, its
  // flags, and the performance counter at its first frame in 100 ns units. kBufferEmpty with
  // no frames when none waits. The packet stays the client's until released.
  virtual HRESULT getBuffer(unsigned char** data, std::uint32_t* framesToRead, DWORD* flags,
                            std::uint64_t* devicePosition, std::uint64_t* qpcPosition) = 0;
  virtual HRESULT releaseBuffer(std::uint32_t framesRead) = 0;
};

// IAudioClient, as activated on an endpoint or on the process-loopback device.
class AudioClient {
 public:
  virtual ~AudioClient() = default;
  virtual HRESULT initialize(ShareMode mode, DWORD streamFlags, REFERENCE_TIME bufferDuration,
                             REFERENCE_TIME periodicity, const WaveFormat& format) = 0;
  virtual HRESULT getMixFormat(WaveFormat* format) = 0;
  virtual HRESULT getDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) = 0;
  virtual HRESULT setEventHandle(EventHandle event) = 0;
  // GetService(IID_IAudioCaptureClient).
  virtual HRESULT getService(std::unique_ptr<AudioCaptureClient>* captureClient) = 0;
  virtual HRESULT start() = 0;
  virtual HRESULT stop() = 0;
};

// IAudioSessionEvents, as far as the backend listens: called on a thread of the system's.
class AudioSessionEvents {
 public:
  virtual void onStateChanged(AudioSessionState state) = 0;
  virtual void onSessionDisconnected() = 0;

 protected:
  ~AudioSessionEvents() = default;
};

// IAudioSessionControl2 (with the QueryInterface from IAudioSessionControl folded in).
class AudioSessionControl {
 public:
  virtual ~AudioSessionControl() = default;
  // A success code other than kOk (AUDCLNT_S_NO_SINGLE_PROCESS) still gives the pid of the
  // process that made the session.
  virtual HRESULT getProcessId(DWORD* pid) = 0;
  virtual HRESULT getState(AudioSessionState* state) = 0;
  // The registration holds `events` until it is unregistered, with the same pointer.
  virtual HRESULT registerAudioSessionNotification(std::shared_ptr<AudioSessionEvents> events) = 0;
  virtual HRESULT unregisterAudioSessionNotification(const AudioSessionEvents& events) = 0;
};

// IAudioSessionNotification: called on a thread of the system's.
class AudioSessionNotification {
 public:
  virtual void onSessionCreated(std::shared_ptr<AudioSessionControl> session) = 0;

 protected:
  ~AudioSessionNotification() = default;
};

// IAudioSessionEnumerator: the sessions of one endpoint when it was made.
class AudioSessionEnumerator {
 public:
  virtual ~AudioSessionEnumerator() = default;
  virtual HRESULT getCount(int* count) = 0;
  virtual HRESULT getSession(int index, std::shared_ptr<AudioSessionControl>* session) = 0;
};

// IAudioSessionManager2 of one endpoint.
class AudioSessionManager {
 public:
  virtual ~AudioSessionManager() = default;
  virtual HRESULT getSessionEnumerator(std::unique_ptr<AudioSessionEnumerator>* enumerator) = 0;
  // The registration holds `notification` until it is unregistered, with the same pointer.
  virtual HRESULT registerSessionNotification(
      std::shared_ptr<AudioSessionNotification> notification) = 0;
  virtual HRESULT unregisterSessionNotification(const AudioSessionNotification& notification) = 0;
};

// IMMDevice: an audio endpoint.
class Device {
 public:
  virtual ~Device() = default;
  // Activate(IID_IAudioClient) and Activate(IID_IAudioSessionManager2).
  virtual HRESULT activateAudioClient(std::unique_ptr<AudioClient>* client) = 0;
  virtual HRESULT activateSessionManager(std::unique_ptr<AudioSessionManager>* manager) = 0;
};

// IMMDeviceEnumerator, with IMMDeviceCollection's walk folded into EnumAudioEndpoints.
class DeviceEnumerator {
 public:
  virtual ~DeviceEnumerator() = default;
  virtual HRESULT getDefaultAudioEndpoint(DataFlow flow, Role role,
                                          std::unique_ptr<Device>* endpoint) = 0;
  virtual HRESULT enumAudioEndpoints(DataFlow flow, DWORD stateMask,
                                     std::vector<std::unique_ptr<Device>>* endpoints) = 0;
};

// IActivateAudioInterfaceAsyncOperation, as the completion handler is given it.
class ActivateAudioInterfaceAsyncOperation {
 public:
  // The activation's own result, and on success the interface activated (IAudioClient).
  virtual HRESULT getActivateResult(HRESULT* activateResult,
                                    std::unique_ptr<AudioClient>* activated) = 0;

 protected:
  ~ActivateAudioInterfaceAsyncOperation() = default;
};

// IActivateAudioInterfaceCompletionHandler. The translation makes it an agile object, so the
// system may call it on any thread.
class ActivateAudioInterfaceCompletionHandler {
 public:
  virtual ~ActivateAudioInterfaceCompletionHandler() = default;
  virtual void activateCompleted(ActivateAudioInterfaceAsyncOperation& operation) = 0;
};

class WindowsAudio {
 public:
  virtual ~WindowsAudio() = default;

  // CoCreateInstance(CLSID_MMDeviceEnumerator).
  virtual HRESULT createDeviceEnumerator(std::unique_ptr<DeviceEnumerator>* enumerator) = 0;

  // ActivateAudioInterfaceAsync(path, IID_IAudioClient, params, handler). The handler is
  // called once, on a thread of the system's, if and only if this succeeds; it may be before
  // or after this returns. The translation holds `handler` until then.
  virtual HRESULT activateAudioInterfaceAsync(
      std::u16string_view path, const BlobPropVariant& params,
      std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler) = 0;

  // CoInitializeEx(COINIT_MULTITHREADED) and CoUninitialize, for the calling thread. kOk, or
  // kFalse when it had joined already: each success is undone by one CoUninitialize.
  // kChangedMode: the thread is in a single-threaded apartment.
  virtual HRESULT coInitializeEx() = 0;
  virtual void coUninitialize() = 0;

  // CreateEvent (auto-reset, not signalled), SetEvent, WaitForSingleObject, CloseHandle.
  virtual EventHandle createEvent() = 0;
  virtual void setEvent(EventHandle event) = 0;
  virtual DWORD waitForSingleObject(EventHandle event, DWORD milliseconds) = 0;
  virtual void closeHandle(EventHandle event) = 0;

  // QueryPerformanceCounter and QueryPerformanceFrequency: a counter that goes on while the
  // machine sleeps.
  virtual std::int64_t queryPerformanceCounter() = 0;
  virtual std::int64_t queryPerformanceFrequency() = 0;
  // QueryUnbiasedInterruptTimePrecise (Windows 10), in 100 ns units: the time since the system
  // started, without the time it slept. Where the system lacks it (Wine), the coarser
  // QueryUnbiasedInterruptTime, which moves a clock tick (up to 15.625 ms) at a time.
  virtual std::uint64_t queryUnbiasedInterruptTime() = 0;

  // AvSetMmThreadCharacteristicsW and AvRevertMmThreadCharacteristics, for the calling thread.
  virtual AvrtHandle avSetMmThreadCharacteristics(std::u16string_view task, DWORD* taskIndex) = 0;
  virtual void avRevertMmThreadCharacteristics(AvrtHandle handle) = 0;

  // FormatMessage(FROM_SYSTEM) of a code, in UTF-8 as the system words it; empty when it has
  // no words for it.
  virtual std::string formatMessage(HRESULT code) = 0;
};

}  // namespace quenwick::loopback
