// The agent's entry point on Windows: the start-up sequence on process loopback.
#include "app/agent.h"
#include "capture/loopback/loopback_capture.h"
#include "capture/loopback/windows_audio_com.h"

int main(int argc, char** argv) {
  quenwick::runAgent(argc, argv, [] {
    return quenwick::loopback::makeLoopbackCapture(quenwick::loopback::makeWindowsAudio());
  });
}
