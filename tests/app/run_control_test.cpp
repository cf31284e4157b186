// Run control in the test's own process: a scripted capture on each backend of a list, a loop
// with a clock of its own, and the status lines gathered. The endings expected are the ones the
// README and the manual give a host: the statuses, the messages and the lines before them.
#include "app/run_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "convert/sample_layout.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define getpid _getpid
#define open _open
#define close _close
constexpr const char* kNowhere = "NUL";
#else
#include <unistd.h>
constexpr const char* kNowhere = "/dev/null";
#endif

namespace quenwick {
namespace {

using namespace std::chrono_literals;

// Posted jobs and one timer, with time that passes only when nothing else is left to run.
class FakeLoop final : public RunLoop {
 public:
  int error() const override { return 0; }
  Clock::time_point now() const override { return now_; }
  int addAlarm(std::function<void()>) override { return -1; }
  void raiseAlarm(int) noexcept override {}
  void post(std::function<void()> job) override { jobs_.push_back(std::move(job)); }
  void repeat(std::chrono::milliseconds interval, std::function<bool()> job) override {
    timer_ = std::move(job);
    interval_ = interval;
    due_ = now_ + interval;
  }
  void stop() override { stopped_ = true; }

  bool run() override {
    const auto end = now_ + 1h;  // a run that never ends is the fault, not a hung test
    while (!stopped_) {
      if (!jobs_.empty()) {
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        job();
      } else if (timer_ && due_ < end) {
        now_ = due_;
        due_ += interval_;
        if (!timer_()) timer_ = nullptr;
      } else {
        errno = ETIMEDOUT;
        return false;
      }
    }
    return true;
  }

 private:
  Clock::time_point now_{};
  std::deque<std::function<void()>> jobs_;
  std::function<bool()> timer_;
  std::chrono::milliseconds interval_{0};
  Clock::time_point due_{};
  bool stopped_ = false;
};

// What a scripted audio layer does: what it finds, where it fails, and whether its server goes.
struct Layer {
  std::optional<std::string> cannotServe{};  // the backend's words when it cannot
  Resolution resolution = Resolution::somethingToHear;
  std::optional<std::string> resolveFails{}, createFails{};
  bool serverGoesAway = false;  // just after the start
};

class ScriptedCapture final : public Capture {
 public:
  ScriptedCapture(const Layer& layer, std::string& calls) : layer_(layer), calls_(calls) {}

  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    calls_ += " listen";
    queue_ = &queue;
    events_ = &events;
  }
  std::variant<Resolution, CaptureFailure> resolve(const Hearing&) override {
    calls_ += " resolve";
    if (layer_.resolveFails) return CaptureFailure{*layer_.resolveFails};
    return layer_.resolution;
  }
  std::optional<CaptureFailure> create() override {
    calls_ += " create";
    if (layer_.createFails) return CaptureFailure{*layer_.createFails};
    return std::nullopt;
  }
  std::variant<StreamFormat, CaptureFailure> format() override {
    calls_ += " format";
    return describeStream(SampleLayout::f32, 48000, 2);
  }
  std::optional<CaptureFailure> start(CycleSink&) override {
    calls_ += " start";
    if (layer_.serverGoesAway) queue_->post([this] { events_->serverGone(); });
    return std::nullopt;
  }
  void halt() override { calls_ += " halt"; }
  void teardown() override { calls_ += " teardown"; }
  std::string silenceAdvice() const override { return {}; }

 private:
  const Layer layer_;
  std::string& calls_;
  DispatchQueue* queue_ = nullptr;
  CaptureEvents* events_ = nullptr;
};

// The placeholders of a command line: a process that lives (this one) and one that never does.
std::vector<std::string> commandLine(std::vector<std::string> args) {
  for (auto& arg : args) {
    if (arg == "ALIVE") arg = std::to_string(getpid());
    if (arg == "GONE") arg = "2147483000";
  }
  return args;
}

struct Row {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, Layer>> backends;
  ExitStatus status;
  std::string message;
  std::vector<std::string> lines;  // without their line feeds
  std::string calls;               // the capture's, after the name of the backend opened
  bool hostStops = false;          // the host stops the agent as soon as it may
};

const Layer serves{}, silent{.resolution = Resolution::nothingToHearYet},
    gone{.serverGoesAway = true};
const std::string
    tap = R"({"event":"creating_tap"})",
    running = R"({"event":"running"})",
    format48k = R"({"event":"format","sample_rate":48000,"channels":2,"mode":"global","pids":[]})";
constexpr const char* kNone = "none of the requested processes exists";
constexpr const char* kNoneYet =
    "none of the requested processes are audio processes yet; is the app playing sound?";

// clang-format off
const Row kRows[] = {
    {"NoRequest", {}, {{"a", serves}}, ExitStatus::usageError, "give --pids or --global", {}, ""},
    {"PidsWithoutValue", {"--global", "--pids"}, {{"a", serves}}, ExitStatus::usageError,
     "--pids needs a value", {}, ""},
    {"UnknownArgumentFirst", {"-v", "--pids"}, {{"a", serves}}, ExitStatus::usageError,
     "unknown argument -v", {}, ""},
    {"NoListedProcessExists", {"--pids", "GONE"}, {{"a", silent}}, ExitStatus::nothingToHear,
     kNone, {}, "a: listen resolve"},
    {"WaitingForNoLivingProcess", {"--pids", "GONE", "--wait"}, {{"a", silent}},
     ExitStatus::nothingToHear, kNone, {}, "a: listen resolve"},
    {"ListedProcessPlaysNothing", {"--pids", "ALIVE"}, {{"a", silent}}, ExitStatus::nothingToHear,
     kNoneYet, {}, "a: listen resolve"},
    {"ServerUnreachable", {"--global"}, {{"a", {.resolveFails = "could not reach the audio server (-1)"}}},
     ExitStatus::failure, "could not reach the audio server (-1)", {}, "a: listen resolve"},
    {"CaptureCannotBeMade", {"--global"}, {{"a", {.createFails = "could not create the audio tap (1)"}}},
     ExitStatus::failure, "could not create the audio tap (1)", {tap}, "a: listen resolve create"},
    {"ServerGoesAway", {"--global"}, {{"a", gone}}, ExitStatus::failure, "the audio server went away",
     {tap, format48k, running}, "a: listen resolve create format start halt"},
    {"HostStops", {"--global"}, {{"a", serves}}, ExitStatus::ended, "", {tap, format48k, running},
     "a: listen resolve create format start teardown", true},
    {"SecondBackendServesAndReportSaysSo", {"--global", "--report"},
     {{"first", {.cannotServe = "no first here"}}, {"second", gone}, {"third", serves}},
     ExitStatus::failure, "the audio server went away",
     {R"({"event":"backend","name":"second"})", tap, format48k, running},
     "second: listen resolve create format start halt"},
    {"WithoutReportNoBackendLine", {"--global"}, {{"first", {.cannotServe = "no first"}}, {"second", gone}},
     ExitStatus::failure, "the audio server went away", {tap, format48k, running},
     "second: listen resolve create format start halt"},
    {"NoBackendServesInTheFirstsWords", {"--global", "--report"},
     {{"first", {.cannotServe = "could not load PipeWire: no library"}}, {"second", {.cannotServe = "no"}}},
     ExitStatus::failure, "could not load PipeWire: no library", {}, ""},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class RunControlEnds : public testing::TestWithParam<Row> {};

TEST_P(RunControlEnds, AsTheHostIsTold) {
  const Row& row = GetParam();
  FakeLoop loop;
  std::vector<std::string> lines;
  std::string calls;
  std::function<void()> stop;
  const int nowhere = open(kNowhere, O_WRONLY);  // the PCM's
  ASSERT_GE(nowhere, 0);
  RunControl control({loop,
                      [&](const StatusEvent& event) {
                        const auto line = statusLine(event);
                        ASSERT_TRUE(line.has_value());
                        lines.push_back(line->substr(0, line->size() - 1));
                      },
                      nowhere,
                      [&](std::function<void()> armed) {
                        if (row.hostStops) loop.post(armed);
                      },
                      RunTimes{}});
  Backends backends;
  for (const auto& [name, layer] : row.backends) {
    backends.push_back(
        {name, [&, name, layer]() -> std::variant<std::unique_ptr<Capture>, CaptureFailure> {
           if (layer.cannotServe) return CaptureFailure{*layer.cannotServe};
           calls += name + ":";
           return std::make_unique<ScriptedCapture>(layer, calls);
         }});
  }

  Ending ending = control.run(commandLine(row.args), 1, backends);
  // Only the way out that wins tears down: SIGTERM's teardown is the ending's wind-up.
  EXPECT_EQ(calls.find("teardown"), std::string::npos);
  if (ending.windUp) ending.windUp();

  EXPECT_EQ(ending.status, row.status);
  EXPECT_EQ(ending.message, row.message);
  EXPECT_EQ(lines, row.lines);
  EXPECT_EQ(calls, row.calls);
  close(nowhere);
}

INSTANTIATE_TEST_SUITE_P(Table, RunControlEnds, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenwick
