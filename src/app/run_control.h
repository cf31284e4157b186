// Run control: the agent's whole run, from the command line to its ending, given everything it
// needs from outside (a backend list, a loop with its clock, a sink for status lines, the PCM's
// descriptor, the host's ways to stop it), so that it runs in a test's process as in the agent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ending.h"
#include "app/run_loop.h"
#include "app/status.h"
#include "capture/backend.h"
#include "system/sleep_clock.h"

namespace quenwick {

// How often run control looks, and how long it waits; the agent's own values by default.
struct RunTimes {
  // How often a waiting agent looks whether any requested process still lives.
  std::chrono::milliseconds liveness{200};
  // How often a reporting agent looks at what it hears and at who ended.
  std::chrono::milliseconds report{250};
  // How long only zeros are heard while something plays before "silence" is reported.
  std::chrono::seconds silence{3};
  // How long an ending agent gives a slow host to take the PCM it already has.
  std::chrono::milliseconds lastPcm{500};
  // With --recover: how long a server that came back may refuse the capture's steps.
  std::chrono::seconds refusals{30};
};

struct RunServices {
  RunLoop& loop;
  // Writes one status line (the last one, the "error" event, is the ending's owner's).
  std::function<void(const StatusEvent&)> status;
  int pcmStream;  // where the PCM goes
  // Called once capture runs, before "running": from then on the host's stop (SIGTERM) runs
  // `stop` on the loop.
  std::function<void(std::function<void()> stop)> armStop;
  SleepClock timeSlept;  // how long the machine has slept so far
  RunTimes times;
};

class RunControl {
 public:
  explicit RunControl(RunServices services);
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // Parses `args` (without the program path) and, once they are good, commits to the first of
  // `backends` that can serve, starts capturing (or waits, with --wait) and serves the loop until
  // the run ends. `parentPid` is the agent's parent, which global mode leaves out. Once. An
  // Ending's wind-up uses this object, which must outlive it.
  Ending run(const std::vector<std::string>& args, std::int32_t parentPid,
             const Backends& backends);

 private:
  class Run;
  RunServices services_;
  std::unique_ptr<Run> run_;
};

}  // namespace quenwick
