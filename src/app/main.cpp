// The agent's entry point: the start-up sequence on this platform's audio layer.
#include "app/agent.h"

#if defined(__APPLE__)
#include "capture/coreaudio/core_audio_capture.h"
#include "capture/coreaudio/core_audio_hardware.h"
#else
#include "capture/pipewire/pipewire_capture.h"
#endif

int main(int argc, char** argv) {
#if defined(__APPLE__)
  quenwick::runAgent(
      argc, argv, [] { return quenwick::makeCoreAudioCapture(quenwick::makeCoreAudioHardware()); });
#else
  quenwick::runAgent(argc, argv, quenwick::makePipeWireCapture);
#endif
}
