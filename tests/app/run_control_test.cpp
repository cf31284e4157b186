// Run control in the test's own process: a scripted capture on each backend of a list, a loop
// with a clock of its own, and the status lines gathered. The endings expected are the ones the
// README and the manual give a host: the statuses, the messages and the lines before them.
#include "app/run_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "convert/sample_layout.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define getpid _getpid
#define open _open
#define close _close
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace quenwick {
namespace {

using namespace std::chrono_literals;

// Posted jobs, alarms, one timer and jobs due at a time, with time that passes only when nothing
// else is left to run. An alarm may be raised from another thread (the PCM's writer): with nothing
// left to run, the loop waits a few real seconds for one before it gives up.
class FakeLoop final : public RunLoop {
 public:
  int error() const override { return 0; }
  Clock::time_point now() const override { return now_; }
  int addAlarm(std::function<void()> job) override {
    alarm_ = std::move(job);
    return 0;
  }
  void raiseAlarm(int) noexcept override {
    const std::lock_guard lock(mutex_);
    raised_ = true;
    woken_.notify_all();
  }
  void post(std::function<void()> job) override { jobs_.push_back(std::move(job)); }
  void repeat(std::chrono::milliseconds interval, std::function<bool()> job) override {
    timers_.push_back({std::move(job), interval, now_ + interval});
  }
  void stop() override { stopped_ = true; }
  // A job due at `when` (from the loop's start), after those due before it or with it.
  void at(std::chrono::milliseconds when, std::function<void()> job) {
    timed_.emplace(Clock::time_point(when), std::move(job));
  }

  bool run() override {
    const auto end = now_ + 1h;  // a run that never ends is the fault, not a hung test
    while (!stopped_) {
      if (takeAlarm()) {
        alarm_();
      } else if (!jobs_.empty()) {
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        job();
      } else if (auto timer = nextTimer();
                 !timed_.empty() && timed_.begin()->first < end &&
                 (timer == timers_.end() || timed_.begin()->first <= timer->due)) {
        auto job = std::move(timed_.begin()->second);
        now_ = std::max(now_, timed_.begin()->first);
        timed_.erase(timed_.begin());
        job();
      } else if (timer != timers_.end() && timer->due < end) {
        now_ = timer->due;
        timer->due += timer->interval;
        if (!timer->job()) timers_.erase(timer);  // a list: a job may add a timer
      } else if (std::unique_lock lock(mutex_);
                 !woken_.wait_for(lock, 5s, [&] { return raised_; })) {
        errno = ETIMEDOUT;
        return false;
      }
    }
    return true;
  }

 private:
  bool takeAlarm() {
    const std::lock_guard lock(mutex_);
    return std::exchange(raised_, false);
  }

  Clock::time_point now_{};
  std::deque<std::function<void()>> jobs_;
  std::multimap<Clock::time_point, std::function<void()>> timed_;
  struct Timer {
    std::function<bool()> job;
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };
  std::list<Timer>::iterator nextTimer() {
    return std::min_element(timers_.begin(), timers_.end(),
                            [](const Timer& a, const Timer& b) { return a.due < b.due; });
  }
  std::list<Timer> timers_;
  std::function<void()> alarm_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool raised_ = false;
  bool stopped_ = false;
};

// A listed process of the test's own that can end, or end and have its pid taken by a stranger
// (taking a pid needs root, on Linux). Placeholder "CHILD".
#ifdef _WIN32
struct Child {  // none on Windows: the rows that need one are skipped
  int pid() const { return 0; }
  bool start() { return false; }
  void end() {}
  static bool canGiveThePidAway() { return false; }
  void endAndGiveThePidAway() {}
};
#else
class Child {
 public:
  ~Child() {
    for (const pid_t pid : {pid_, stranger_}) {
      if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
  }
  int pid() const { return pid_; }
  bool start() { return (pid_ = sleeper()) > 0; }
  // Left unreaped: a zombie has ended too.
  void end() {
    kill(pid_, SIGKILL);
    siginfo_t info;
    waitid(P_PID, pid_, &info, WEXITED | WNOWAIT);
  }
  static bool canGiveThePidAway() { return geteuid() == 0 && access(kLastPid, W_OK) == 0; }
  void endAndGiveThePidAway() {
    end();
    waitpid(pid_, nullptr, 0);
    // A start time is told in clock ticks: the stranger starts in a later one, as it would.
    std::this_thread::sleep_for(30ms);
    for (int attempt = 0; attempt < 200 && stranger_ != pid_; ++attempt) {
      if (stranger_ > 0) kill(stranger_, SIGKILL), waitpid(stranger_, nullptr, 0);
      std::ofstream(kLastPid) << pid_ - 1;
      stranger_ = sleeper();
    }
    ASSERT_EQ(stranger_, pid_) << "the pid was not handed out again";
    stranger_ = std::exchange(pid_, -1);
  }

 private:
  static constexpr const char* kLastPid = "/proc/sys/kernel/ns_last_pid";
  static pid_t sleeper() {
    const pid_t pid = fork();
    if (pid == 0) {
      pause();
      _exit(0);
    }
    return pid;
  }
  pid_t pid_ = -1, stranger_ = -1;
};
#endif

// What a scripted audio layer does from the moment it listens, at its time.
enum class Does {
  sound,      // from now on a cycle every 100 ms, with sound
  zeros,      // from now on a cycle every 100 ms, all zeros
  plays,      // this test's process plays (told as playingChanged)
  quiet,      // nobody plays
  joins,      // what the host waits for becomes something to hear (processesChanged)
  reformats,  // the format changes to 44100 Hz mono
  childEnds,
  childsPidTaken,
  serverGoes,
};
struct Step {
  std::chrono::milliseconds at;
  Does does;
};

struct Layer {
  std::optional<std::string> cannotServe{};  // the backend's words when it cannot
  bool noAudio = false;                      // its server answers, and carries no audio
  Resolution resolution = Resolution::somethingToHear;
  std::optional<std::string> resolveFails{}, createFails{};
  bool plays = false;  // this test's process plays from create() on
  std::vector<Step> steps{};
  // Once its server went away: no server answers until then, and what answers after, from the
  // moment each later capture listens.
  std::chrono::milliseconds downUntil{0};
  std::vector<Step> back{};
  std::optional<std::string> backRefuses{};
};

constexpr const char* kAdvice = "check the permission";

class ScriptedCapture final : public Capture {
 public:
  ScriptedCapture(const Layer& layer, std::string& calls, FakeLoop& loop, Child& child, bool again)
      : layer_(layer), calls_(calls), loop_(loop), child_(child), again_(again) {}

  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    calls_ += " listen";
    events_ = &events;
    queue_ = &queue;
    const auto from = again_ ? ms(loop_.now()) : 0ms;
    // Through the capture's queue, which run control cuts once it lets go of the capture.
    for (const Step& step : again_ ? layer_.back : layer_.steps) {
      later(from + step.at, [this, step] { take(step.does); });
    }
  }
  std::variant<Resolution, CaptureFailure> resolve(const Hearing& hearing) override {
    calls_ += " resolve";
    reportPlaying_ = hearing.followPlaying;
    if (layer_.resolveFails) return CaptureFailure{*layer_.resolveFails};
    return resolution_;
  }
  std::optional<CaptureFailure> create() override {
    calls_ += " create";
    if (layer_.createFails) return CaptureFailure{*layer_.createFails};
    if (again_ && layer_.backRefuses) return CaptureFailure{*layer_.backRefuses};
    if (reportPlaying_ && layer_.plays) events_->playingChanged({getpid()});
    return std::nullopt;
  }
  std::variant<StreamFormat, CaptureFailure> format() override {
    calls_ += " format";
    return format_;
  }
  std::optional<CaptureFailure> start(CycleSink& sink) override {
    calls_ += " start";
    sink_ = &sink;
    return std::nullopt;
  }
  void halt() override {
    if (std::exchange(halted_, true)) return;
    calls_ += " halt";
    sink_ = nullptr;
  }
  void teardown() override {
    calls_ += " teardown";
    sink_ = nullptr;
  }
  std::string silenceAdvice() const override { return kAdvice; }

 private:
  void take(Does does) {
    switch (does) {
      case Does::sound:
      case Does::zeros:
        if (!delivering_) later(ms(loop_.now()), [this] { deliver(); });
        delivering_ = true, loud_ = does == Does::sound;
        return;
      case Does::plays:
      case Does::quiet:
        if (reportPlaying_)
          events_->playingChanged(does == Does::plays ? std::vector{getpid()}
                                                      : std::vector<std::int32_t>{});
        return;
      case Does::joins:
        resolution_ = Resolution::somethingToHear;
        return events_->processesChanged();
      case Does::reformats:
        format_ = describeStream(SampleLayout::f32, 44100, 1);
        ++generation_;
        return events_->formatChanged(format_);
      case Does::childEnds:
        return child_.end();
      case Does::childsPidTaken:
        return child_.endAndGiveThePidAway();
      case Does::serverGoes:
        return events_->serverGone(kServerWentAway);
    }
  }

  static std::chrono::milliseconds ms(RunLoop::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  }

  // Through the capture's queue, which run control cuts once it lets go of the capture.
  void later(std::chrono::milliseconds when, std::function<void()> job) {
    loop_.at(when, [queue = queue_, job = std::move(job)] { queue->post(job); });
  }

  void deliver() {
    deliverOne();
    later(ms(loop_.now()) + 100ms, [this] { deliver(); });
  }

  void deliverOne() {
    if (sink_ == nullptr) return;
    const std::uint32_t frames = static_cast<std::uint32_t>(format_.sampleRate) / 10;
    samples_.assign(std::size_t{frames} * format_.channels, loud_ ? 0.25f : 0.0f);
    const SamplePlane plane{samples_.data(), frames};
    sink_->deliver({{&plane, 1},
                    frames,
                    format_,
                    generation_,
                    static_cast<std::uint64_t>(
                        std::chrono::nanoseconds(loop_.now().time_since_epoch()).count())});
  }

  const Layer layer_;
  std::string& calls_;
  FakeLoop& loop_;
  Child& child_;
  CaptureEvents* events_ = nullptr;
  DispatchQueue* queue_ = nullptr;
  CycleSink* sink_ = nullptr;
  Resolution resolution_ = layer_.resolution;
  StreamFormat format_ = describeStream(SampleLayout::f32, 48000, 2);
  std::uint64_t generation_ = 0;
  const bool again_;
  bool reportPlaying_ = false, delivering_ = false, loud_ = false, halted_ = false;
  std::vector<float> samples_;
};

// The placeholders of a command line and of status lines: a process that lives (this one), one
// that never does, and the test's child.
std::string placed(std::string text, const Child& child) {
  for (const auto& [name, pid] : {std::pair<std::string, std::int64_t>{"ALIVE", getpid()},
                                  {"GONE", 2147483000},
                                  {"CHILD", child.pid()}}) {
    for (auto at = text.find(name); at != std::string::npos; at = text.find(name)) {
      text.replace(at, name.size(), std::to_string(pid));
    }
  }
  return text;
}

struct Row {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, Layer>> backends;
  ExitStatus status;
  std::string message;
  std::vector<std::string> lines;  // without their line feeds
  // The capture's, after the name of the backend opened ("name!" one that could not be); none:
  // not looked at.
  std::optional<std::string> calls;
  std::optional<std::chrono::milliseconds> hostStops{};  // SIGTERM, once it may (from the start)
  std::optional<std::chrono::milliseconds> sleeps{};     // the machine sleeps 8 hours then
  std::optional<double> pcmSeconds{};                    // the PCM's length, in seconds
};

// clang-format off
const Layer serves{}, silent{.resolution = Resolution::nothingToHearYet}, gone{.steps = {{0ms, Does::serverGoes}}};
Layer does(std::vector<Step> steps) { return {.steps = std::move(steps)}; }
Layer yet(std::vector<Step> steps) { return {.resolution = silent.resolution, .steps = std::move(steps)}; }
Layer plays(std::vector<Step> steps) { return {.plays = true, .steps = std::move(steps)}; }
const std::string tap = R"({"event":"creating_tap"})", running = R"({"event":"running"})",
    format48k = R"({"event":"format","sample_rate":48000,"channels":2,"mode":"global","pids":[]})",
    formatAlive = R"({"event":"format","sample_rate":48000,"channels":2,"mode":"processes","pids":[ALIVE]})",
    playsAlive = R"({"event":"playing","pids":[ALIVE]})", nobodyPlays = R"({"event":"playing","pids":[]})",
    silence = R"({"event":"silence","seconds":3})", sound = R"({"event":"sound"})", backendA = R"({"event":"backend","name":"a"})",
    interrupted = R"({"event":"interrupted","reason":"the audio server went away"})", resumed = R"({"event":"resumed"})",
    silenceAdvised = std::string(R"({"event":"silence","seconds":3,"advice":")") + kAdvice + "\"}";
const std::vector<std::string> reporting{backendA, tap, formatAlive, running, playsAlive}, started{tap, format48k, running},
    startedAlive{tap, formatAlive, running}, report{"--pids", "ALIVE", "--report"};
constexpr const char *kNone = "none of the requested processes exists", *kGone = "the audio server went away",
    *kNoneYet = "none of the requested processes are audio processes yet; is the app playing sound?",
    *kResolved = "a: listen resolve halt",
    *kStopped = "a: listen resolve create format start teardown", *kHalted = "a: listen resolve create format start halt";
const ExitStatus usage = ExitStatus::usageError, none = ExitStatus::nothingToHear, failure = ExitStatus::failure,
    ended = ExitStatus::ended;
template <typename... More> std::vector<std::string> plus(std::vector<std::string> lines, More... more) {
  (lines.push_back(more), ...);
  return lines;
}

const Row kRows[] = {
    // A usage error (the command line's own table has the rest), and what there is to hear at the start.
    {"NoRequest", {}, {{"a", serves}}, usage, "give --pids or --global", {}, ""},
    {"NoListedProcessExists", {"--pids", "GONE"}, {{"a", silent}}, none, kNone, {}, kResolved},
    {"ListedProcessPlaysNothing", {"--pids", "ALIVE"}, {{"a", silent}}, none, kNoneYet, {}, kResolved},
    {"ServerUnreachable", {"--global"}, {{"a", {.resolveFails = "no server (-1)"}}}, failure, "no server (-1)", {}, kResolved},
    {"CaptureCannotBeMade", {"--global"}, {{"a", {.createFails = "no tap (1)"}}}, failure, "no tap (1)", {tap}, "a: listen resolve create halt"},
    // --wait: the start once something plays; the end once no listed process lives, by identity.
    {"WaitingForNoLivingProcess", {"--pids", "GONE", "--wait"}, {{"a", silent}}, none, kNone, {}, kResolved},
    {"WaitStartsWhenAListedProcessPlays", {"--pids", "ALIVE", "--wait"}, {{"a", yet({{5s, Does::joins}})}}, ended, "", startedAlive, "a: listen resolve resolve create format start teardown", 6s},
    {"WaitGivesUpWhenTheListedProcessEnds", {"--pids", "CHILD", "--wait"}, {{"a", yet({{1s, Does::childEnds}})}}, none, kNone, {}, kResolved},
    {"WaitGivesUpWhenAStrangerTakesThePid", {"--pids", "CHILD", "--wait"}, {{"a", yet({{1s, Does::childsPidTaken}})}}, none, kNone, {}, kResolved},
    {"WithoutWaitNothingYetEndsAtOnce", {"--pids", "ALIVE"}, {{"a", yet({{1s, Does::joins}})}}, none, kNoneYet, {}, kResolved},
    // The ways a running agent ends: the first one decided wins; a stop tears down, any other ending lets the capture go (halt).
    {"ServerGoesAway", {"--global"}, {{"a", gone}}, failure, kGone, started, kHalted},
    {"HostStops", {"--global"}, {{"a", serves}}, ended, "", started, kStopped, 0ms},
    {"HostStopsAfterSound", {"--global"}, {{"a", does({{0ms, Does::sound}})}}, ended, "", started, kStopped, 2s},
    {"ServerGoesAsTheHostStops", {"--global"}, {{"a", does({{2s, Does::serverGoes}})}}, failure, kGone, started, kHalted, 2s},
    {"FormatChanges", {"--global"}, {{"a", does({{1s, Does::reformats}})}}, ended, "", plus(started, R"({"event":"format","sample_rate":44100,"channels":1,"mode":"global","pids":[],"changed":true})"), kStopped, 2s},
    // --report: who plays, who ended, silence while something plays and sound after it.
    {"ReportWithSoundThroughout", report, {{"a", plays({{0ms, Does::sound}})}}, ended, "", reporting, kStopped, 8s},
    {"ZerosFromTheStartAreSilenceWithAdviceOnce", report, {{"a", plays({{0ms, Does::zeros}})}}, ended, "", plus(reporting, silenceAdvised), kStopped, 8s},
    {"SoundThenZerosIsSilenceWithoutAdvice", report, {{"a", plays({{0ms, Does::sound}, {1s, Does::zeros}})}}, ended, "", plus(reporting, silence), kStopped, 8s},
    {"SilenceAgainAfterSoundHasNoAdvice", report, {{"a", plays({{0ms, Does::zeros}, {4s, Does::sound}, {5s, Does::zeros}})}}, ended, "", plus(reporting, silenceAdvised, sound, silence), kStopped, 10s},
    {"ZerosWhileNobodyPlaysAreNoSilence", report, {{"a", does({{0ms, Does::zeros}})}}, ended, "", {backendA, tap, formatAlive, running, nobodyPlays}, kStopped, 8s},
    {"ZerosAfterThePlayerWentQuietAreNoSilence", report, {{"a", plays({{0ms, Does::sound}, {1s, Does::zeros}, {2s, Does::quiet}, {4500ms, Does::plays}})}}, ended, "", plus(reporting, nobodyPlays, playsAlive), kStopped, 7s},
    {"WithoutReportNothingIsReported", {"--pids", "ALIVE"}, {{"a", plays({{0ms, Does::zeros}})}}, ended, "", startedAlive, kStopped, 8s},
    {"AListedProcessEndsOnce", {"--pids", "ALIVE,CHILD", "--report"}, {{"a", plays({{0ms, Does::sound}, {1s, Does::childEnds}})}}, ended, "", {backendA, tap, R"({"event":"format","sample_rate":48000,"channels":2,"mode":"processes","pids":[ALIVE,CHILD]})", running, playsAlive, R"({"event":"ended","pid":CHILD})"}, kStopped, 4s},
    // Each platform's backends, tried in order.
    {"SecondBackendServesAndReportSaysSo", {"--global", "--report"}, {{"first", {.cannotServe = "no first"}}, {"second", gone}, {"third", serves}}, failure, kGone, {R"({"event":"backend","name":"second"})", tap, format48k, running, nobodyPlays}, "second: listen resolve create format start halt"},
    {"WithoutReportNoBackendLine", {"--global"}, {{"first", {.cannotServe = "no first"}}, {"second", gone}}, failure, kGone, started, "second: listen resolve create format start halt"},
    {"ABackendWithAudioGoesBeforeOneWithout", {"--global", "--report"}, {{"first", {.noAudio = true}}, {"second", gone}, {"third", serves}}, failure, kGone, {R"({"event":"backend","name":"second"})", tap, format48k, running, nobodyPlays}, "first:second: listen resolve create format start halt"},
    {"WithoutAudioTheFirstThatServes", {"--global", "--report"}, {{"first", {.noAudio = true, .steps = {{0ms, Does::serverGoes}}}}, {"second", {.cannotServe = "no"}}, {"third", {.noAudio = true}}}, failure, kGone, {R"({"event":"backend","name":"first"})", tap, format48k, running, nobodyPlays}, "first:third: listen resolve create format start halt"},
    // --recover: the same backend again, at once and then less and less often; silence in time meanwhile.
    {"RecoversAndKeepsTime", {"--global", "--recover"}, {{"a", {.steps = {{0ms, Does::sound}, {1s, Does::serverGoes}}, .downUntil = 3s, .back = {{0ms, Does::sound}}}}}, ended, "", plus(started, interrupted, resumed), "a: listen resolve create format start halta!a!a!a!a!a: listen resolve create format start teardown", 6s, {}, 6.0},
    {"RefusalsEndTheRunAfter30s", {"--global", "--recover"}, {{"a", {.steps = {{1s, Does::serverGoes}}, .backRefuses = "no tap yet (1)"}}}, failure, "no tap yet (1)", plus(started, interrupted), std::nullopt},
    {"AWaitGoesOnAcrossARestart", {"--pids", "ALIVE", "--wait", "--recover"}, {{"a", {.resolution = silent.resolution, .steps = {{1s, Does::serverGoes}}, .back = {{1s, Does::joins}}}}}, ended, "", plus(std::vector{interrupted, resumed}, tap, formatAlive, running), "a: listen resolve halta: listen resolve resolve create format start teardown", 3s},
    {"AWaitEndsWhenTheServerGoesWithoutRecover", {"--pids", "ALIVE", "--wait"}, {{"a", yet({{1s, Does::serverGoes}})}}, failure, kGone, {}, "a: listen resolve halt"},
    {"ASleepIsTold", report, {{"a", plays({{0ms, Does::sound}})}}, ended, "", plus(reporting, R"({"event":"slept","seconds":28800})"), kStopped, 3s, 2s},
    {"NoBackendServesInTheFirstsWords", {"--global", "--report"}, {{"first", {.cannotServe = "no library"}}, {"second", {.cannotServe = "no"}}}, failure, "no library", {}, ""},
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class RunControlEnds : public testing::TestWithParam<Row> {};

TEST_P(RunControlEnds, AsTheHostIsTold) {
  const Row& row = GetParam();
  const bool needsChild = std::ranges::any_of(
      row.args, [](const auto& a) { return a.find("CHILD") != std::string::npos; });
  Child child;
  if (needsChild && !child.start()) GTEST_SKIP() << "needs a child process to end";
  for (const auto& [_, layer] : row.backends) {
    if (std::ranges::any_of(layer.steps,
                            [](const Step& s) { return s.does == Does::childsPidTaken; }) &&
        !Child::canGiveThePidAway()) {
      GTEST_SKIP() << "taking a pid needs root, on Linux";
    }
  }
  FakeLoop loop;
  std::vector<std::string> lines;
  std::string calls;
  const std::string pcmPath = testing::TempDir() + "run_control_pcm";
  const int pcm = open(pcmPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Gone before the PCM's descriptor is closed: its writer may still be writing.
  auto control = std::make_unique<RunControl>(RunServices{loop,
                      [&](const StatusEvent& event) {
                        const auto line = statusLine(event);
                        ASSERT_TRUE(line.has_value());
                        lines.push_back(line->substr(0, line->size() - 1));
                      },
                      pcm,
                      [&](std::function<void()> armed) {
                        if (row.hostStops) loop.at(*row.hostStops, armed);
                      },
                      [&] {
                        return row.sleeps && loop.now() >= RunLoop::Clock::time_point(*row.sleeps)
                                   ? std::chrono::nanoseconds(8h)
                                   : 0ns;
                      },
                      RunTimes{}});
  Backends backends;
  for (const auto& [name, layer] : row.backends) {
    backends.push_back(
        {name, [&, name, layer]() -> std::variant<OpenedCapture, CaptureFailure> {
           if (layer.cannotServe) return CaptureFailure{*layer.cannotServe};
           const bool again = calls.find(name + ":") != std::string::npos;
           if (again && loop.now() < RunLoop::Clock::time_point(layer.downUntil)) {
             calls += name + "!";
             return CaptureFailure{"down"};
           }
           calls += name + ":";
           return OpenedCapture{
               std::make_unique<ScriptedCapture>(layer, calls, loop, child, again),
               !layer.noAudio};
         }});
  }
  std::vector<std::string> args;
  for (const auto& arg : row.args) args.push_back(placed(arg, child));

  Ending ending = control->run(args, 1, backends);
  // Only the way out that wins tears down: SIGTERM's teardown is the ending's wind-up.
  EXPECT_EQ(calls.find("teardown"), std::string::npos);
  if (ending.windUp) ending.windUp();

  EXPECT_EQ(ending.status, row.status);
  EXPECT_EQ(ending.message, row.message);
  std::vector<std::string> expected;
  for (const auto& line : row.lines) expected.push_back(placed(line, child));
  EXPECT_EQ(lines, expected);
  if (row.calls) {
    EXPECT_EQ(calls, *row.calls);
  }
  control.reset();
  close(pcm);
  if (row.pcmSeconds) {
    std::ifstream written(pcmPath, std::ios::binary | std::ios::ate);
    EXPECT_NEAR(static_cast<double>(written.tellg()) / 32000, *row.pcmSeconds, 0.01);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RunControlEnds, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick
