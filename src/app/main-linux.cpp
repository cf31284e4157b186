// The agent's entry point on Linux: the start-up sequence on PipeWire.
#include "app/agent.h"
#include "capture/pipewire/pipewire_capture.h"

int main(int argc, char** argv) {
  quenwick::runAgent(argc, argv, quenwick::makePipeWireCapture);
}
