// The agent's entry point, the same on every platform: run control on the platform's list of
// backends (capture/backends-*.cpp), and the one place where the run's ending is carried out.
#include "app/agent.h"
#include "capture/backend.h"

int main(int argc, char** argv) {
  quenwick::finish(quenwick::runAgent(argc, argv, quenwick::platformBackends()));
}
