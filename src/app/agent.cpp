#include "app/agent.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/main_queue.h"
#include "app/parent_watch.h"
#include "app/run_control.h"
#include "app/shutdown.h"
#include "app/standard_streams.h"
#include "app/status.h"

namespace quenwick {

Ending runAgent(int argc, char** argv, const Backends& backends, SleepClock slept) {
  // First of all: a parent that dies while the start-up is slow, or while a call into the audio
  // layer never returns, must still count as gone, not be replaced by whoever adopts the agent.
  const std::int32_t parentPid = parentAtStart();
  unblockHandledSignals();
  if (const int error = startParentWatch(parentPid)) {
    return Ending::failure("could not run: " + std::string(std::strerror(error)));
  }
  prepareStandardStreams();
  // Both live as long as the process: the audio layer's threads hold on to what the run made,
  // and no way out runs destructors.
  static MainQueue mainQueue;
  static RunControl control(
      {mainQueue, status, kPcmStream,
       [](std::function<void()> stop) { installSignalHandlers(mainQueue, std::move(stop)); },
       std::move(slept), RunTimes{}});
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return control.run(args, parentPid, backends);
}

}  // namespace quenwick
