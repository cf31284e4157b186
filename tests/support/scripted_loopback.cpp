// quenwick-scripted-loopback: the agent's real run control and its process-loopback backend, the
// code that Windows runs, on a scripted Windows audio stack. It answers every call of the backend's
// seam as Microsoft's documentation says, logs the calls (with the activations' parameters, the
// clients' formats and the threads that call), and runs an audio
// engine of its own: once a client has started, one pass every device period on the performance
// counter's clock, each giving the client its packet of the period that just ended, as its
// script says. Where the documentation allows several readings, the script chooses one.
//
// The script is a JSON object at the path in $QUENWICK_SCRIPT (tests/conftest.py writes it):
//   "log": PATH              the call log: one JSON object per line, one write(2) each
//   "enumeratorStatus": HR   what CoCreateInstance(MMDeviceEnumerator) returns
//   "defaultStatus": HR      what GetDefaultAudioEndpoint returns (E_NOTFOUND: no output device)
//   "qpcFrequency": HZ       the performance counter's (10 MHz)
//   "comStatus": HR          what CoInitializeEx returns (S_FALSE: joined already;
//                            RPC_E_CHANGED_MODE: the thread is in another apartment)
//   "sessions": [SESSION]    the output device's sessions at first: {"pid": PID or "parent",
//                            "state": "inactive"|"active", "listed": false (no enumerator
//                            lists it; only a notification tells of it)}
//   "activation": "after"|"before"|"inline"  when the completion handler is called: on another
//                            thread after the call returned, on another thread before it returns,
//                            or on the calling thread inside the call
//   "activateStatus", "activateResult", "initializeStatus", "startStatus": HR
//                            ActivateAudioInterfaceAsync's own result, the activation's, ...
//   "streams": {PID or "parent": [STEP]}  the packets of the client that hears that target (or,
//                            as a client hears its target's process tree, of one that hears an
//                            ancestor of it), from its Start, one engine pass a period:
//                            {"source": PATH} float stereo frames to play from, repeated;
//                            {"play": N} N packets from it; {"silent": N, "data": "junk"|"null"}
//                            N packets flagged silent, whose data is garbage or null;
//                            {"misdated": N, "as": "flag"|"zero"|"ahead"} N packets from the
//                            source flagged with a timestamp error and at position 0, or at 0
//                            unflagged, or unflagged an hour ahead; {"gap": N} N periods without
//                            a packet; {"drift": PPM} the device's clock runs that much fast
//                            against the performance counter from then on: each packet's
//                            position advances by its frames at that rate; {"jitter": N} every
//                            N-th packet comes a pass late; {"discontinuity": true} the next
//                            packet with data is flagged AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
//                            {"shift": FRAMES} later positions; {"late": PASSES} packets come
//                            that many passes after their period; {"fail": HR} no more packets,
//                            and GetBuffer fails once those made are taken, for good, or with
//                            "passes": N for N periods; once in a run, {"invalidate": true} every
//                            client made so far is lost (no more packets, and its calls fail for
//                            good once those made are taken) with AUDCLNT_E_DEVICE_INVALIDATED,
//                            or {"service": MS} with AUDCLNT_E_SERVICE_NOT_RUNNING, the audio
//                            service stopped for MS ms: the device enumerator's making and every
//                            activation fail with it until it is back
//   "stall": {"at": N, "passes": M}  the engine holds back M passes from the end of its N-th
//                            period, then makes them between the reads of two clients
//   "sleep": {"at": N, "hours": H}  the machine sleeps after the engine's pass at the end of its
//                            N-th period: the performance counter jumps by H hours, the unbiased
//                            interrupt time and the engine do not. It wakes between the reads of
//                            two clients, with the next pass, as "stall" has it
//   "heldAt": N              once the engine has passed its N-th period, the thread that reads
//                            the performance counter next is held up for 150 ms right after it
//   "failActivations": [FROM, TO]  only the activations numbered FROM to TO - 1 (the first is 0)
//                            complete with "activateResult"
//   "steps": [STEP]          from the layer's opening, each after {"after": MS}: {"session":
//                            SESSION} a new session, told to the device's notifications; {"state":
//                            {"pid", "state"}} a session's state changes, told to its events
// One machine serves every opening of the backend, as the process's one audio stack would.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "app/agent.h"
#include "capture/loopback/loopback_capture.h"
#include "capture/process_targets.h"
#include "layer_script.h"

namespace quenwick::loopback {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kInvalidArg = static_cast<HRESULT>(0x80070057);      // E_INVALIDARG
constexpr auto kNotImpl = static_cast<HRESULT>(0x80004001);         // E_NOTIMPL
constexpr auto kFileNotFound = static_cast<HRESULT>(0x80070002);    // ERROR_FILE_NOT_FOUND
constexpr auto kNotInitialized = static_cast<HRESULT>(0x88890001);  // AUDCLNT_E_...
constexpr auto kAlreadyInitialized = static_cast<HRESULT>(0x88890002);
constexpr auto kNotStopped = static_cast<HRESULT>(0x88890005);
constexpr auto kOutOfOrder = static_cast<HRESULT>(0x88890007);
constexpr auto kUnsupportedFormat = static_cast<HRESULT>(0x88890008);
constexpr auto kInvalidSize = static_cast<HRESULT>(0x88890009);
constexpr auto kEventHandleNotExpected = static_cast<HRESULT>(0x88890011);
constexpr auto kEventHandleNotSet = static_cast<HRESULT>(0x88890014);
constexpr std::int64_t kUnits = 10'000'000;  // 100 ns units a second

std::string narrow(std::u16string_view text) {
  return {text.begin(), text.end()};  // the backend's strings are ASCII
}

AudioSessionState stateOf(const json& name) {
  return name == "active" ? AudioSessionState::active : AudioSessionState::inactive;
}

struct Event {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

struct Packet {
  std::vector<float> frames;
  DWORD flags = 0;
  bool nullData = false;
  std::uint64_t position = 0;
  std::int64_t due = 0;  // when the engine hands it over, 100 ns
};

class Model;

struct Session final : AudioSessionControl {
  Session(Model& model, std::int32_t pid, AudioSessionState state)
      : model(model), pid(pid), state(state) {}
  HRESULT getProcessId(DWORD* out) override;
  HRESULT getState(AudioSessionState* out) override;
  HRESULT registerAudioSessionNotification(std::shared_ptr<AudioSessionEvents> sink) override;
  HRESULT unregisterAudioSessionNotification(const AudioSessionEvents& sink) override;
  Model& model;
  const std::int32_t pid;
  AudioSessionState state;  // under the model's mutex
  bool listed = true;
  std::vector<std::shared_ptr<AudioSessionEvents>> events;
};

// The client of one target, activated on the loopback device, with its own capture client; or
// the default endpoint's, which tells its mix format and period and captures nothing.
constexpr int kEndpointClient = -1;
struct LoopbackClient final : AudioClient, AudioCaptureClient {
  LoopbackClient(Model& model, int index, std::int32_t pid, int generation, bool tree = false)
      : model(model), index(index), pid(pid), generation(generation), tree(tree) {}
  ~LoopbackClient() override;
  HRESULT initialize(ShareMode, DWORD, REFERENCE_TIME, REFERENCE_TIME, const WaveFormat&) override;
  HRESULT getMixFormat(WaveFormat*) override;
  HRESULT getDevicePeriod(REFERENCE_TIME* usual, REFERENCE_TIME* least) override;
  HRESULT setEventHandle(EventHandle handle) override;
  HRESULT getService(std::unique_ptr<AudioCaptureClient>* out) override;
  HRESULT start() override;
  HRESULT stop() override;
  HRESULT getBuffer(unsigned char**, std::uint32_t*, DWORD*, std::uint64_t*,
                    std::uint64_t*) override;
  HRESULT releaseBuffer(std::uint32_t frames) override;
  Model& model;
  const int index;
  const std::int32_t pid;
  const int generation;  // of the clients made since the last loss of them all
  const bool tree;       // it hears its target's descendants too
  // The rest under the model's mutex.
  bool initialized = false, eventDriven = false, started = false, holding = false,
       toldGetBuffer = false;
  Event* event = nullptr;
  json steps;
  std::size_t step = 0;
  std::int64_t left = 0;  // packets or periods left of the step under way
  std::vector<float> source;
  std::size_t sourceAt = 0;
  std::int64_t shift = 0, late = 0, jitter = 0, made = 0;
  bool discontinuous = false;
  double drift = 0, drifted = 0;  // ppm, and how far the positions ran off since, 100 ns
  HRESULT failing = kOk;
  bool passing = false;         // the failure lasts the step under way
  std::int64_t nextPeriod = 0;  // the start of its next period, 100 ns
  std::deque<Packet> pending, ready;
};

// The capture client handed out by GetService: the client itself, which outlives it.
struct CaptureView final : AudioCaptureClient {
  explicit CaptureView(LoopbackClient& client) : client(client) {}
  HRESULT getBuffer(unsigned char** d, std::uint32_t* f, DWORD* fl, std::uint64_t* dp,
                    std::uint64_t* qp) override {
    return client.getBuffer(d, f, fl, dp, qp);
  }
  HRESULT releaseBuffer(std::uint32_t frames) override { return client.releaseBuffer(frames); }
  LoopbackClient& client;
};

class Model final : public WindowsAudio {
  friend struct LoopbackClient;

 public:
  explicit Model(json script)
      : script_(std::move(script)), parent_(getppid()), opened_(Clock::now()), log_(script_) {
    frequency_ = script_.value("qpcFrequency", std::int64_t{10'000'000});
    for (const json& session : script_.value("sessions", json::array())) addSession(session);
    threads_.emplace_back([this] { runSteps(); });
  }

  // --- the seam ---
  HRESULT createDeviceEnumerator(std::unique_ptr<DeviceEnumerator>* out) override;
  HRESULT activateAudioInterfaceAsync(
      std::u16string_view path, const BlobPropVariant& params,
      std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler) override;

  EventHandle createEvent() override {
    std::lock_guard lock(mutex_);
    return events_.emplace_back(std::make_unique<Event>()).get();
  }
  void closeHandle(EventHandle handle) override {
    std::lock_guard lock(mutex_);
    firstPeriods_.erase(static_cast<Event*>(handle));
    std::erase_if(events_, [&](const auto& event) { return event.get() == handle; });
  }
  void setEvent(EventHandle handle) override {
    auto* event = static_cast<Event*>(handle);
    std::lock_guard lock(event->mutex);
    event->signalled = true;
    event->changed.notify_all();
  }
  DWORD waitForSingleObject(EventHandle handle, DWORD milliseconds) override {
    auto* event = static_cast<Event*>(handle);
    std::unique_lock lock(event->mutex);
    if (!event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [&] { return event->signalled; })) {
      return kWaitTimeout;
    }
    event->signalled = false;
    return kWaitObject0;
  }

  std::int64_t queryPerformanceCounter() override {
    const auto ticks =
        static_cast<std::int64_t>(static_cast<__int128>(awake() + slept_) * frequency_ / kUnits);
    if (engineAt_.load() >= firstPeriod_.load() + script_.value("heldAt", INT_MAX) * period_ &&
        !held_.exchange(true)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return ticks;
  }
  std::int64_t queryPerformanceFrequency() override { return frequency_; }
  std::uint64_t queryUnbiasedInterruptTime() override {
    return static_cast<std::uint64_t>(awake());
  }
  // How long the machine has slept, for run control.
  std::chrono::nanoseconds slept() const { return std::chrono::nanoseconds(slept_.load() * 100); }

  // The capture thread's: "comStatus" tells how its joining goes (kFalse: it had joined).
  HRESULT coInitializeEx() override {
    log({{"call", "CoInitializeEx"}, {"thread", thread()}});
    return script_.value("comStatus", kOk);
  }
  void coUninitialize() override { log({{"call", "CoUninitialize"}, {"thread", thread()}}); }

  AvrtHandle avSetMmThreadCharacteristics(std::u16string_view task, DWORD* index) override {
    log({{"call", "AvSetMmThreadCharacteristics"}, {"task", narrow(task)}, {"thread", thread()}});
    *index = 1;
    return &avrt_;
  }
  void avRevertMmThreadCharacteristics(AvrtHandle) override {
    log({{"call", "AvRevertMmThreadCharacteristics"}});
  }

  // The system's words for two common codes, with its line end; none for the rest.
  std::string formatMessage(HRESULT code) override {
    if (code == kFileNotFound) return "The system cannot find the file specified.\r\n";
    if (code == kAccessDenied) return "Access is denied.\r\n";
    return {};
  }

  // --- for the model's objects ---
  void log(const json& line) const { log_(line); }

  // "main" for the thread that made the model, else t1, t2, ... in order of their first call.
  std::string thread() {
    thread_local int number = 0;
    if (std::this_thread::get_id() == mainThread_) return "main";
    if (number == 0) number = ++threadsSeen_;
    std::string name = std::to_string(number);
    return name.insert(0, 1, 't');
  }

  // The time awake in 100 ns units, as the clocks tell it. An engine that runs is never a period
  // behind them: no thread of this machine's holds the clock back, however busy it is, and the
  // backend's timer is not told apart from a late engine.
  std::int64_t awake() const {
    const std::int64_t engine = engineAt_.load();
    return engine != 0 ? std::min(nowUnits(), engine + period_) : nowUnits();
  }

  // The time awake in 100 ns units: a second before the layer opened, it read 0.
  std::int64_t nowUnits() const {
    return kUnits +
           std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - opened_).count() /
               100;
  }

  std::int32_t pidOf(const json& pid) const { return pid == "parent" ? parent_ : pid.get<int>(); }
  const json& script() const { return script_; }
  std::uint32_t rate() const { return rate_; }
  std::int64_t period() const { return period_; }
  std::mutex& mutex() { return mutex_; }
  // Under the mutex: what a client's calls fail with, for good, once all of its time were lost.
  HRESULT lost(const LoopbackClient& client) const {
    return client.generation < generation_ ? lost_ : kOk;
  }
  bool serviceStopped() {
    std::lock_guard lock(mutex_);
    return Clock::now() < serviceBack_;
  }

  // The sessions an enumerator lists.
  std::vector<std::shared_ptr<Session>> enumerate() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Session>> listed;
    std::copy_if(sessions_.begin(), sessions_.end(), std::back_inserter(listed),
                 [](const auto& session) { return session->listed; });
    return listed;
  }
  // GetCount begins the notifications of a manager registered before it; those of new sessions
  // before then are dropped.
  void counted() {
    std::lock_guard lock(mutex_);
    if (!notifications_.empty()) enumerated_ = true;
  }
  void registered(std::shared_ptr<AudioSessionNotification> notification) {
    std::lock_guard lock(mutex_);
    notifications_.push_back(std::move(notification));
  }
  HRESULT unregistered(const AudioSessionNotification& notification) {
    std::lock_guard lock(mutex_);
    std::erase_if(notifications_, [&](const auto& n) { return n.get() == &notification; });
    return kOk;
  }

  // Under the mutex: the packets of the clients of one capture (which share an event) are made
  // from the period after the first one's Start on, so that clients started one after the other
  // hear the same periods.
  void started(LoopbackClient& client) {
    const std::int64_t next = (nowUnits() / period_ + 1) * period_;
    client.nextPeriod = firstPeriods_.try_emplace(client.event, next).first->second;
    if (!engine_) {
      engine_ = true;
      firstPeriod_ = next;
      engineAt_.store(next - period_);  // the clocks wait for its first pass, however late
      threads_.emplace_back([this] { runEngine(); });
    }
    clients_.push_back(&client);
  }

  // Under the mutex: a released client gets no more packets.
  void forget(LoopbackClient& client) { std::erase(clients_, &client); }

  ~Model() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::shared_ptr<Session> addSession(const json& session) {
    auto added = std::make_shared<Session>(*this, pidOf(session["pid"]),
                                           stateOf(session.value("state", "inactive")));
    added->listed = session.value("listed", true);
    sessions_.push_back(added);
    return added;
  }

  bool pause(Clock::time_point until) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_until(lock, until, [&] { return stopping_; });
  }

  void runSteps() {
    for (const json& step : script_.value("steps", json::array())) {
      if (step.contains("after") &&
          !pause(opened_ + std::chrono::milliseconds(step["after"].get<int>()))) {
        return;
      }
      if (step.contains("session")) {
        std::vector<std::shared_ptr<AudioSessionNotification>> told;
        std::shared_ptr<Session> session;
        {
          std::lock_guard lock(mutex_);
          session = addSession(step["session"]);
          // A manager tells of new sessions once it has been asked how many it has.
          if (enumerated_) told = notifications_;
        }
        for (const auto& notification : told) notification->onSessionCreated(session);
      } else if (step.contains("state")) {
        const std::int32_t pid = pidOf(step["state"]["pid"]);
        const AudioSessionState state = stateOf(step["state"]["state"]);
        std::vector<std::shared_ptr<AudioSessionEvents>> told;
        {
          std::lock_guard lock(mutex_);
          for (const auto& session : sessions_) {
            if (session->pid != pid) continue;
            session->state = state;
            told.insert(told.end(), session->events.begin(), session->events.end());
          }
        }
        for (const auto& events : told) events->onStateChanged(state);
      }
    }
  }

  // One pass each period on the performance counter's clock, late passes caught up at once.
  // With "stall": {"at": N, "passes": M}, the passes from the N-th period's end on are held back
  // for M periods and then made between the delivering thread's reads of two clients: inside the
  // first client's GetBuffer that finds nothing.
  // With "sleep", the first pass after the sleep is made in the same way, after the sleep.
  void runEngine() {
    const json stall = script_.value("stall", json::object());
    const std::int64_t held = firstPeriod_ + (stall.value("at", -2) + 1) * period_;
    const json sleep = script_.value("sleep", json::object());
    const std::int64_t woken = firstPeriod_ + (sleep.value("at", -2) + 2) * period_;
    for (std::int64_t pass = nowUnits() / period_ + 1;; ++pass) {
      const auto at = opened_ + std::chrono::nanoseconds((pass * period_ - kUnits) * 100);
      if (!pause(at)) return;
      std::unique_lock lock(mutex_);
      const std::int64_t time = pass * period_;
      if (time >= held && time < held + stall.value("passes", 0) * period_) continue;
      if (time == woken) sleeping_ = sleep.value("hours", std::int64_t{0}) * 3600 * kUnits;
      if ((time == held + stall.value("passes", 0) * period_ && time > held) || time == woken) {
        deferred_ = time;
        wake_.wait(lock, [&] { return stopping_ || deferred_ == 0; });
        continue;
      }
      runPass(time);
    }
  }

  // Under the mutex: the packets of every period that has ended by `time`.
  void runPass(std::int64_t time) {
    engineAt_.store(time);
    for (LoopbackClient* client : clients_) {
      while (client->started && client->nextPeriod + period_ <= time) makePacket(*client);
      bool handed = false;
      while (!client->pending.empty() && client->pending.front().due <= time) {
        client->ready.push_back(std::move(client->pending.front()));
        client->pending.pop_front();
        handed = true;
      }
      if (handed && client->event != nullptr) setEvent(client->event);
    }
  }

  // Under the mutex, in a client's GetBuffer: the passes held back, if their time has come, and
  // the sleep before them.
  void landHeldPasses() {
    if (deferred_ == 0) return;
    slept_ += std::exchange(sleeping_, 0);
    runPass(deferred_);
    deferred_ = 0;
    wake_.notify_all();
  }

  // Under the mutex: the client's packet of its next period, as its steps say, handed over
  // once the period has ended (and as many passes later as it is late).
  void makePacket(LoopbackClient& client) {
    const std::int64_t position = client.nextPeriod;
    client.nextPeriod += period_;
    const auto frames = static_cast<std::size_t>(period_ * rate_ / kUnits);
    if (client.left == 0 && client.passing) {
      client.passing = false;
      client.failing = kOk;
    }
    while (client.step < client.steps.size()) {
      const json& step = client.steps[client.step];
      if (client.left == 0) {
        if (step.contains("source")) {
          std::ifstream file(step["source"].get<std::string>(), std::ios::binary);
          std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
          client.source.resize(bytes.size() / sizeof(float));
          std::memcpy(client.source.data(), bytes.data(), client.source.size() * sizeof(float));
        }
        client.shift += step.value("shift", 0);
        client.late = step.value("late", client.late);
        client.drift = step.value("drift", client.drift);
        client.jitter = step.value("jitter", client.jitter);
        client.discontinuous |= step.value("discontinuity", false);
        if ((step.contains("invalidate") || step.contains("service")) && generation_ == 0) {
          ++generation_;
          lost_ = step.contains("service") ? kServiceNotRunning : kDeviceInvalidated;
          serviceBack_ = Clock::now() + std::chrono::milliseconds(step.value("service", 0));
        }
        client.failing = step.value("fail", client.failing);
        client.passing = step.contains("passes");
        client.left = step.value("play", 0) + step.value("silent", 0) + step.value("gap", 0) +
                      step.value("misdated", 0) + step.value("passes", 0);
        if (client.left == 0) {
          ++client.step;
          continue;
        }
      }
      --client.left;
      Packet packet;
      packet.position =
          static_cast<std::uint64_t>(position + slept_ + client.shift * kUnits / rate_ +
                                     static_cast<std::int64_t>(client.drifted));
      client.drifted -= static_cast<double>(period_) * client.drift / 1e6;
      const bool jittered = client.jitter > 0 && ++client.made % client.jitter == 0;
      packet.due = position + (1 + client.late + jittered) * period_;
      if (step.contains("silent")) {
        packet.flags = kBufferFlagsSilent;
        packet.nullData = step.value("data", "junk") == "null";
        packet.frames.assign(2 * frames, 0.5f);
      } else if (!step.contains("gap") && succeeded(client.failing) && succeeded(lost(client))) {
        packet.frames.assign(2 * frames, 0.0f);
        for (std::size_t n = 0; n < 2 * frames && !client.source.empty(); ++n) {
          packet.frames[n] = client.source[client.sourceAt];
          client.sourceAt = (client.sourceAt + 1) % client.source.size();
        }
        if (std::exchange(client.discontinuous, false))
          packet.flags = kBufferFlagsDataDiscontinuity;
        if (step.contains("misdated")) {
          const std::string as = step.value("as", "flag");
          packet.flags = as == "flag" ? kBufferFlagsTimestampError : 0;
          packet.position = as == "ahead" ? packet.position + 3600 * kUnits : 0;
        }
      }
      if (client.left == 0) ++client.step;
      if (!step.contains("gap") && succeeded(client.failing) && succeeded(lost(client))) {
        client.pending.push_back(std::move(packet));
      }
      return;
    }
  }

  const json script_;
  const pid_t parent_;
  const Clock::time_point opened_;
  const CallLog log_;
  const std::thread::id mainThread_ = std::this_thread::get_id();
  const std::uint32_t rate_ = 48000;     // the mix format's
  const std::int64_t period_ = 100'000;  // the device's, in 100 ns
  std::int64_t frequency_;
  int avrt_ = 0;
  std::atomic<int> threadsSeen_{0};
  std::atomic<std::int64_t> engineAt_{0};  // the last pass of the engine, 0 before it runs
  std::atomic<std::int64_t> slept_{0};     // 100 ns units
  std::atomic<bool> held_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool engine_ = false;
  std::atomic<std::int64_t> firstPeriod_{0};  // the first capture's: the clocks read it unlocked
  std::map<Event*, std::int64_t> firstPeriods_;
  std::int64_t deferred_ = 0;  // the time of the passes held back, once it has come
  std::int64_t sleeping_ = 0;  // the sleep before them
  std::vector<std::unique_ptr<Event>> events_;
  std::vector<std::shared_ptr<Session>> sessions_;
  bool enumerated_ = false;
  std::vector<std::shared_ptr<AudioSessionNotification>> notifications_;
  std::vector<LoopbackClient*> clients_;
  int generation_ = 0;
  HRESULT lost_ = kOk;
  Clock::time_point serviceBack_;
  std::vector<std::thread> threads_;
  int activations_ = 0;  // main thread
  std::vector<std::shared_ptr<ActivateAudioInterfaceCompletionHandler>> unanswered_;
};

// --- sessions ---

HRESULT Session::getProcessId(DWORD* out) {
  *out = static_cast<DWORD>(pid);
  return kOk;
}

HRESULT Session::getState(AudioSessionState* out) {
  std::lock_guard lock(model.mutex());
  *out = state;
  return kOk;
}

HRESULT Session::registerAudioSessionNotification(std::shared_ptr<AudioSessionEvents> sink) {
  std::lock_guard lock(model.mutex());
  events.push_back(std::move(sink));
  return kOk;
}

HRESULT Session::unregisterAudioSessionNotification(const AudioSessionEvents& sink) {
  std::lock_guard lock(model.mutex());
  std::erase_if(events, [&](const auto& e) { return e.get() == &sink; });
  return kOk;
}

struct SessionList final : AudioSessionEnumerator {
  explicit SessionList(Model& model) : model(model) {}
  Model& model;
  std::vector<std::shared_ptr<Session>> sessions;
  HRESULT getCount(int* count) override {
    model.counted();
    *count = static_cast<int>(sessions.size());
    return kOk;
  }
  HRESULT getSession(int index, std::shared_ptr<AudioSessionControl>* out) override {
    if (index < 0 || index >= static_cast<int>(sessions.size())) return kInvalidArg;
    *out = sessions[static_cast<std::size_t>(index)];
    return kOk;
  }
};

struct Manager final : AudioSessionManager {
  explicit Manager(Model& model) : model(model) {}
  HRESULT getSessionEnumerator(std::unique_ptr<AudioSessionEnumerator>* out) override {
    auto list = std::make_unique<SessionList>(model);
    list->sessions = model.enumerate();
    model.log({{"call", "GetSessionEnumerator"}});
    *out = std::move(list);
    return kOk;
  }
  HRESULT registerSessionNotification(
      std::shared_ptr<AudioSessionNotification> notification) override {
    model.registered(std::move(notification));
    model.log({{"call", "RegisterSessionNotification"}});
    return kOk;
  }
  HRESULT unregisterSessionNotification(const AudioSessionNotification& notification) override {
    return model.unregistered(notification);
  }
  Model& model;
};

// --- endpoints ---

// The one output device, as most machines have.
struct Endpoint final : Device {
  explicit Endpoint(Model& model) : model(model) {}
  HRESULT activateAudioClient(std::unique_ptr<AudioClient>* out) override {
    *out = std::make_unique<LoopbackClient>(model, kEndpointClient, 0, 0);
    return kOk;
  }
  HRESULT activateSessionManager(std::unique_ptr<AudioSessionManager>* out) override {
    *out = std::make_unique<Manager>(model);
    return kOk;
  }
  Model& model;
};

struct Devices final : DeviceEnumerator {
  explicit Devices(Model& model) : model(model) {}
  HRESULT getDefaultAudioEndpoint(DataFlow, Role, std::unique_ptr<Device>* out) override {
    const HRESULT status = model.script().value("defaultStatus", kOk);
    if (succeeded(status)) *out = std::make_unique<Endpoint>(model);
    return status;
  }
  HRESULT enumAudioEndpoints(DataFlow, DWORD, std::vector<std::unique_ptr<Device>>* out) override {
    out->push_back(std::make_unique<Endpoint>(model));
    return kOk;
  }
  Model& model;
};

HRESULT Model::createDeviceEnumerator(std::unique_ptr<DeviceEnumerator>* out) {
  const HRESULT status =
      serviceStopped() ? kServiceNotRunning : script_.value("enumeratorStatus", kOk);
  if (succeeded(status)) *out = std::make_unique<Devices>(*this);
  return status;
}

// --- activation ---

struct Operation final : ActivateAudioInterfaceAsyncOperation {
  HRESULT result = kOk;
  std::unique_ptr<AudioClient> client;
  HRESULT getActivateResult(HRESULT* activateResult,
                            std::unique_ptr<AudioClient>* activated) override {
    *activateResult = result;
    if (succeeded(result)) *activated = std::move(client);
    return kOk;
  }
};

HRESULT Model::activateAudioInterfaceAsync(
    std::u16string_view path, const BlobPropVariant& params,
    std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler) {
  // The blob read as the documented layout: type, target pid, mode, four bytes each.
  std::uint32_t fields[3] = {};
  const bool whole = params.vt == BlobPropVariant::kVtBlob && params.cbSize == sizeof fields;
  if (whole) std::memcpy(fields, params.pBlobData, sizeof fields);
  const HRESULT status = script_.value("activateStatus", kOk);
  const std::string reading = script_.value("activation", "after");
  const int index = activations_++;
  log({{"call", "ActivateAudioInterfaceAsync"}, {"params", whole ? json(fields) : json(nullptr)}});
  if (!succeeded(status)) return status;
  auto operation = std::make_shared<Operation>();
  const json failing = script_.value("failActivations", json::array({0, INT_MAX}));
  if (index >= failing[0].get<int>() && index < failing[1].get<int>()) {
    operation->result = script_.value("activateResult", kOk);
  }
  if (serviceStopped()) operation->result = kServiceNotRunning;
  if (narrow(path) != "VAD\\Process_Loopback") operation->result = kFileNotFound;
  if (!whole || fields[0] != 1 || fields[2] > 1) operation->result = kInvalidArg;
  if (succeeded(operation->result)) {
    const auto target = static_cast<std::int32_t>(fields[1]);
    std::lock_guard lock(mutex_);
    operation->client =
        std::make_unique<LoopbackClient>(*this, index, target, generation_, fields[2] == 0);
  }
  const auto complete = [this, operation, handler] {
    log({{"call", "ActivateCompleted"}, {"thread", thread()}});
    handler->activateCompleted(*operation);
  };
  if (reading == "never") {
    std::lock_guard lock(mutex_);
    unanswered_.push_back(handler);
  } else if (reading == "inline") {
    complete();
  } else if (reading == "before") {
    std::thread(complete).join();
  } else {
    std::thread([complete] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      complete();
    }).detach();
  }
  return kOk;
}

// --- loopback clients ---

// Whether `pid` is `root` or one of its descendants, as the system's process list tells.
bool inTree(std::int32_t root, std::int32_t pid) {
  const auto facts = readProcessFacts(root);
  return facts && ProcessTargets{{{root, facts->startTime}}, true}.covers(pid);
}

LoopbackClient::~LoopbackClient() {
  {
    std::lock_guard lock(model.mutex());
    model.forget(*this);
  }
  if (index != kEndpointClient) model.log({{"call", "Release"}});
}

HRESULT LoopbackClient::initialize(ShareMode mode, DWORD flags, REFERENCE_TIME duration,
                                   REFERENCE_TIME periodicity, const WaveFormat& f) {
  HRESULT status = model.script().value("initializeStatus", kOk);
  const bool floatStereo = f.wFormatTag == kWaveFormatIeeeFloat && f.nChannels == 2 &&
                           f.wBitsPerSample == 32 && f.nBlockAlign == 8 &&
                           f.nAvgBytesPerSec == f.nSamplesPerSec * 8;
  const bool converts = (flags & kStreamFlagsAutoConvertPcm) != 0;
  std::lock_guard lock(model.mutex());
  if (initialized) status = kAlreadyInitialized;
  // "For a shared-mode stream that uses event-driven buffering, the caller must set both
  // hnsPeriodicity and hnsBufferDuration to 0."
  if (mode != ShareMode::shared || periodicity != 0 || (flags & kStreamFlagsLoopback) == 0 ||
      ((flags & kStreamFlagsEventCallback) != 0 && duration != 0)) {
    status = kInvalidArg;
  }
  if (!floatStereo || (!converts && f.nSamplesPerSec != model.rate())) status = kUnsupportedFormat;
  model.log({{"call", "Initialize"},
             {"flags", flags},
             {"format",
              {f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.nAvgBytesPerSec, f.nBlockAlign,
               f.wBitsPerSample, f.cbSize}}});
  if (succeeded(status)) {
    initialized = true;
    eventDriven = (flags & kStreamFlagsEventCallback) != 0;
  }
  return status;
}

// A loopback client has none, as users of process loopback report.
HRESULT LoopbackClient::getMixFormat(WaveFormat* format) {
  if (index != kEndpointClient) return kNotImpl;
  *format = {0xFFFE, 2, model.rate(), model.rate() * 8, 8, 32, 22};
  model.log({{"call", "GetMixFormat"}});
  return kOk;
}

HRESULT LoopbackClient::getDevicePeriod(REFERENCE_TIME* usual, REFERENCE_TIME* least) {
  if (index != kEndpointClient) return kNotImpl;
  *usual = model.period();
  *least = model.period() / 3;
  return kOk;
}

HRESULT LoopbackClient::setEventHandle(EventHandle handle) {
  std::lock_guard lock(model.mutex());
  const HRESULT status = !initialized        ? kNotInitialized
                         : !eventDriven      ? kEventHandleNotExpected
                         : handle == nullptr ? kInvalidArg
                                             : kOk;
  if (succeeded(status)) event = static_cast<Event*>(handle);
  return status;
}

HRESULT LoopbackClient::getService(std::unique_ptr<AudioCaptureClient>* out) {
  const HRESULT status = initialized ? kOk : kNotInitialized;
  if (succeeded(status)) *out = std::make_unique<CaptureView>(*this);
  return status;
}

HRESULT LoopbackClient::start() {
  HRESULT status = model.script().value("startStatus", kOk);
  {
    std::lock_guard lock(model.mutex());
    if (!initialized) status = kNotInitialized;
    if (started) status = kNotStopped;
    if (eventDriven && event == nullptr) status = kEventHandleNotSet;
    if (succeeded(status)) {
      started = true;
      const json& streams = model.script().value("streams", json::object());
      for (const auto& [target, script] : streams.items()) {
        const std::int32_t scripted =
            model.pidOf(target == "parent" ? json(target) : json(std::stoi(target)));
        if (scripted == pid || (steps.is_null() && tree && inTree(pid, scripted))) steps = script;
      }
      model.started(*this);
    }
  }
  model.log({{"call", "Start"}});
  return status;
}

HRESULT LoopbackClient::stop() {
  {
    std::lock_guard lock(model.mutex());
    started = false;
  }
  model.log({{"call", "Stop"}});
  return kOk;
}

HRESULT LoopbackClient::getBuffer(unsigned char** data, std::uint32_t* frames, DWORD* flags,
                                  std::uint64_t* devicePosition, std::uint64_t* qpcPosition) {
  std::lock_guard lock(model.mutex());
  if (!toldGetBuffer) {
    toldGetBuffer = true;
    model.log({{"call", "GetBuffer"}, {"thread", model.thread()}});
  }
  *data = nullptr;
  *frames = 0;
  if (!initialized) return kNotInitialized;
  if (holding) return kOutOfOrder;
  // A failing stream makes no packets; those it made before are still there to take.
  if (!succeeded(model.lost(*this)) && ready.empty()) return model.lost(*this);
  if (!succeeded(failing) && ready.empty()) return failing;
  if (ready.empty()) {
    if (index == 0) model.landHeldPasses();
    return kBufferEmpty;
  }
  Packet& packet = ready.front();
  *data = packet.nullData ? nullptr : reinterpret_cast<unsigned char*>(packet.frames.data());
  *frames = static_cast<std::uint32_t>(packet.frames.size() / 2);
  *flags = packet.flags;
  *devicePosition = 0;
  *qpcPosition = packet.position;
  holding = true;
  return kOk;
}

HRESULT LoopbackClient::releaseBuffer(std::uint32_t framesRead) {
  std::lock_guard lock(model.mutex());
  if (!holding) return kOutOfOrder;
  if (framesRead != 0 && framesRead != ready.front().frames.size() / 2) return kInvalidSize;
  holding = false;
  if (framesRead != 0) ready.pop_front();
  return kOk;
}

}  // namespace
}  // namespace quenwick::loopback

int main(int argc, char** argv) {
  // Made at the first opening, as the steps' times count from it; one for every opening after.
  const nlohmann::json script = quenwick::readLayerScript();
  std::shared_ptr<quenwick::loopback::Model> model;
  const quenwick::Backends backends{quenwick::loopback::loopbackBackend([&] {
    if (!model) model = std::make_shared<quenwick::loopback::Model>(script);
    return model;
  })};
  quenwick::finish(quenwick::runAgent(
      argc, argv, backends, [&] { return model ? model->slept() : std::chrono::nanoseconds(0); }));
}
