// quenwick-fake: the agent's real start-up sequence and run loop on the scripted fake audio
// layer, for the agent-process tests. The script's path comes from $QUENWICK_FAKE_SCRIPT.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/agent.h"
#include "fake_audio_hardware.h"

namespace {

// Status events own standard error, so a broken test set-up says so with an exit status of its
// own and one plain line that no status line could be mistaken for.
constexpr int kBadSetUp = 125;

[[noreturn]] void badSetUp(const std::string& reason) {
  const std::string line = "quenwick-fake: " + reason + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
  _exit(kBadSetUp);
}

}  // namespace

int main(int argc, char** argv) {
  const char* scriptPath = std::getenv("QUENWICK_FAKE_SCRIPT");
  if (scriptPath == nullptr || *scriptPath == '\0') badSetUp("QUENWICK_FAKE_SCRIPT is not set");
  std::string error;
  auto fake = quenwick::harness::FakeAudioHardware::fromFile(scriptPath, &error);
  if (!fake) badSetUp(error);

  quenwick::runAgent(argc, argv, [&fake]() -> std::unique_ptr<quenwick::AudioHardware> {
    return std::move(fake);
  });
}
