// The agent's entry point on macOS: the start-up sequence on Core Audio.
#include "app/agent.h"
#include "capture/coreaudio/core_audio_capture.h"
#include "capture/coreaudio/core_audio_hardware.h"

int main(int argc, char** argv) {
  quenwick::runAgent(
      argc, argv, [] { return quenwick::makeCoreAudioCapture(quenwick::makeCoreAudioHardware()); });
}
