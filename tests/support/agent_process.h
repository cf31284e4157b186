// Runs a program as a real child process, the way a host application runs the agent: argv, an
// environment, standard output and standard error on pipes that this side reads, standard input
// from /dev/null, closed, or a pipe. The test can signal the child, close its end of standard
// output early, and wait for the child with a timeout to learn its exit status or the signal that
// ended it.
//
// spawnUnderParent starts the program as the grandchild of this process, below an intermediate
// parent that does nothing but wait; killing that parent makes the program an orphan. On Linux
// this process becomes a child subreaper first, so the orphan is adopted by it and its exit
// status can still be collected.
//
// Not thread-safe: one test thread drives one AgentProcess.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quenwick::harness {

enum class StdinMode { devNull, closed, pipe };

struct SpawnOptions {
  StdinMode stdinMode = StdinMode::devNull;
  // "NAME=value" entries added to this process's environment, replacing same-named ones.
  std::vector<std::string> environment;
  // The child writes status lines on standard error. When QUENWICK_STATUS_LOG names a file,
  // every line it wrote is appended there, so that one check can hold all of them against the
  // published schema.
  bool statusLines = false;
};

// How a process ended: by exit with `code`, or by the signal `signal`.
struct ExitStatus {
  bool exited = false;
  int code = -1;
  int signal = 0;

  static ExitStatus exitedWith(int code) { return {true, code, 0}; }
  static ExitStatus killedBy(int signo) { return {false, -1, signo}; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

class AgentProcess {
 public:
  // Starts `path` with `args` as argv[1..] (argv[0] is `path`). Nothing, with the reason in
  // `error`, when the process cannot be started.
  static std::unique_ptr<AgentProcess> spawn(const std::string& path,
                                             const std::vector<std::string>& args,
                                             const SpawnOptions& options, std::string* error);

  // The same, but as the child of an intermediate parent process (see above).
  static std::unique_ptr<AgentProcess> spawnUnderParent(const std::string& path,
                                                        const std::vector<std::string>& args,
                                                        const SpawnOptions& options,
                                                        std::string* error);

  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;
  // Kills with SIGKILL and reaps whatever of it is still running.
  ~AgentProcess();

  pid_t pid() const { return pid_; }
  // The intermediate parent's pid, or 0 when the program is this process's own child.
  pid_t intermediateParent() const { return parent_; }

  bool sendSignal(int signo);
  // SIGKILLs the intermediate parent and reaps it.
  bool killIntermediateParent();

  // Closes this side's read end of the child's standard output: its next write finds no reader.
  void closeStdout();
  // The same for standard error: the child's next status line finds no reader.
  void closeStderr();
  // Stops or resumes reading the child's standard output: once the pipe is full, the child's
  // writes block.
  void readStdout(bool enabled) { readStdout_ = enabled; }
  // Only with StdinMode::pipe.
  bool writeStdin(std::string_view bytes);
  void closeStdin();

  // Reads output as it comes until `done()` holds (true) or the timeout passes or the process
  // has ended without it holding (false).
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  bool waitForStderrLines(std::size_t count, std::chrono::milliseconds timeout);
  bool waitForStdoutBytes(std::size_t count, std::chrono::milliseconds timeout);

  // Waits for the process to end, reading its output meanwhile, then reads the rest. Nothing
  // when it is still running at the timeout.
  std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
  // The exit status once wait() has seen the end.
  const std::optional<ExitStatus>& exitStatus() const { return status_; }

  // Everything read so far.
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  AgentProcess() = default;

  // Reads what the pipes hold, waiting at most `timeoutMs` for something to arrive.
  void pump(int timeoutMs);
  // Has the process ended? Reaps it if so.
  bool checkEnded();

  pid_t pid_ = -1;
  pid_t parent_ = 0;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int stdinFd_ = -1;
  bool readStdout_ = true;
  bool statusLines_ = false;
  std::optional<ExitStatus> status_;
  std::string out_;
  std::string err_;
};

}  // namespace quenwick::harness
