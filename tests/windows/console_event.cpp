// quenwick-console-event EVENT PROGRAM [ARG...]: runs PROGRAM in a console of its own, and once a
// byte comes on standard input sends the console's CTRL+C or CTRL+BREAK (EVENT "c" or "break") to
// every process attached to it; then exits with PROGRAM's status, or 66 if the event could not be
// sent. It ignores the event itself. A test program: never shipped.
#include <windows.h>

#include <cstring>
#include <string>

namespace {

BOOL WINAPI ignore(DWORD) {
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  // Under Wine a program run from pipes has a console that takes no control events: it makes one
  // of its own, and the program keeps the standard handles it was given.
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  FreeConsole();
  AllocConsole();
  SetConsoleCtrlHandler(ignore, TRUE);
  std::string line;
  for (int arg = 2; arg < argc; ++arg) line.append(arg > 2 ? " \"" : "\"").append(argv[arg]) += '"';
  PROCESS_INFORMATION process{};
  const bool breaks = std::strcmp(argv[1], "break") == 0;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 65;
  }
  char go = 0;
  DWORD read = 0;
  if (ReadFile(startup.hStdInput, &go, 1, &read, nullptr) && read == 1) {
    // Wine 8 sends CTRL+C only: its console server does not implement the other events.
    if (!GenerateConsoleCtrlEvent(breaks ? CTRL_BREAK_EVENT : CTRL_C_EVENT, 0)) return 66;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}
