#include "agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace quenwick::harness {
namespace {

// One append per process: processes that end at the same time in parallel tests do not
// interleave their lines.
void appendToStatusLog(const std::string& lines) {
  const char* path = std::getenv("QUENWICK_STATUS_LOG");
  if (path == nullptr || lines.empty()) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = write(fd, lines.data(), lines.size());
  close(fd);
}

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read = -1;
  int write = -1;
};

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool makePipe(Pipe& pipe, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    if (error != nullptr) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  pipe.read = fds[0];
  pipe.write = fds[1];
  return true;
}

// This side writes into a child's standard input; a child that closed it must not kill us.
void ignoreBrokenPipes() {
  static const bool ignored = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)ignored;
}

// ThreadSanitizer holds every exit of an instrumented child for a second by default, which
// would blur each timing the tests check (parent watch, SIGTERM deadline); children started
// here exit at once. Elsewhere the variable means nothing.
std::string withoutExitSleep(const char* inherited) {
  return std::string("TSAN_OPTIONS=") + (inherited != nullptr ? inherited : "") +
         " atexit_sleep_ms=0";
}

std::vector<std::string> environmentWith(std::vector<std::string> extra) {
  const auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  if (std::none_of(extra.begin(), extra.end(),
                   [&](const std::string& e) { return nameOf(e) == "TSAN_OPTIONS"; })) {
    extra.push_back(withoutExitSleep(std::getenv("TSAN_OPTIONS")));
  }
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current = *entry;
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
      return nameOf(e) == nameOf(current);
    });
    if (!replaced) entries.emplace_back(current);
  }
  entries.insert(entries.end(), extra.begin(), extra.end());
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Everything posix_spawn needs, prepared before any fork so that the child of a fork only has
// to call posix_spawn.
class SpawnPlan {
 public:
  SpawnPlan(const std::string& path, const std::vector<std::string>& args,
            const SpawnOptions& options)
      : path_(path), argv_{path}, env_(environmentWith(options.environment)) {
    argv_.insert(argv_.end(), args.begin(), args.end());
    argvPointers_ = pointersTo(argv_);
    envPointers_ = pointersTo(env_);
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    // The child starts with default signal actions and nothing blocked, whatever this test
    // process has set up for itself.
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnPlan() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;

  void setStdin(StdinMode mode, int pipeRead) {
    switch (mode) {
      case StdinMode::devNull:
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        break;
      case StdinMode::closed:
        posix_spawn_file_actions_addclose(&actions_, STDIN_FILENO);
        break;
      case StdinMode::pipe:
        posix_spawn_file_actions_adddup2(&actions_, pipeRead, STDIN_FILENO);
        break;
    }
  }
  void setOutputs(int stdoutWrite, int stderrWrite) {
    posix_spawn_file_actions_adddup2(&actions_, stdoutWrite, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions_, stderrWrite, STDERR_FILENO);
  }

  // Returns 0 or the error number.
  int run(pid_t* pid) {
    return posix_spawn(pid, path_.c_str(), &actions_, &attributes_, argvPointers_.data(),
                       envPointers_.data());
  }

 private:
  std::string path_;
  std::vector<std::string> argv_;
  std::vector<std::string> env_;
  std::vector<char*> argvPointers_;
  std::vector<char*> envPointers_;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

bool becomeSubreaper(std::string* error) {
#if defined(__linux__)
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) return true;
  if (error != nullptr) *error = std::string("PR_SET_CHILD_SUBREAPER: ") + std::strerror(errno);
#else
  if (error != nullptr) *error = "adopting orphans needs Linux";
#endif
  return false;
}

ExitStatus statusFrom(int raw) {
  if (WIFEXITED(raw)) return ExitStatus::exitedWith(WEXITSTATUS(raw));
  return ExitStatus::killedBy(WTERMSIG(raw));
}

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  if (status.exited) return out << "exit status " << status.code;
  return out << "signal " << status.signal << " (" << strsignal(status.signal) << ")";
}

std::unique_ptr<AgentProcess> AgentProcess::spawn(const std::string& path,
                                                  const std::vector<std::string>& args,
                                                  const SpawnOptions& options, std::string* error) {
  ignoreBrokenPipes();
  Pipe in, out, err;
  if ((options.stdinMode == StdinMode::pipe && !makePipe(in, error)) || !makePipe(out, error) ||
      !makePipe(err, error)) {
    for (int* fd : {&in.read, &in.write, &out.read, &out.write, &err.read, &err.write}) {
      closeFd(*fd);
    }
    return nullptr;
  }
  SpawnPlan plan(path, args, options);
  plan.setStdin(options.stdinMode, in.read);
  plan.setOutputs(out.write, err.write);

  std::unique_ptr<AgentProcess> process(new AgentProcess);
  const int spawnError = plan.run(&process->pid_);
  closeFd(in.read);
  closeFd(out.write);
  closeFd(err.write);
  if (spawnError != 0) {
    if (error != nullptr) *error = "posix_spawn " + path + ": " + std::strerror(spawnError);
    closeFd(in.write);
    closeFd(out.read);
    closeFd(err.read);
    return nullptr;
  }
  process->stdinFd_ = in.write;
  process->stdoutFd_ = out.read;
  process->stderrFd_ = err.read;
  process->statusLines_ = options.statusLines;
  return process;
}

std::unique_ptr<AgentProcess> AgentProcess::spawnUnderParent(const std::string& path,
                                                             const std::vector<std::string>& args,
                                                             const SpawnOptions& options,
                                                             std::string* error) {
  ignoreBrokenPipes();
  if (!becomeSubreaper(error)) return nullptr;
  Pipe in, out, err, report;
  const auto closeAll = [&] {
    for (int* fd : {&in.read, &in.write, &out.read, &out.write, &err.read, &err.write, &report.read,
                    &report.write}) {
      closeFd(*fd);
    }
  };
  if ((options.stdinMode == StdinMode::pipe && !makePipe(in, error)) || !makePipe(out, error) ||
      !makePipe(err, error) || !makePipe(report, error)) {
    closeAll();
    return nullptr;
  }
  SpawnPlan plan(path, args, options);
  plan.setStdin(options.stdinMode, in.read);
  plan.setOutputs(out.write, err.write);

  const pid_t parent = fork();
  if (parent < 0) {
    if (error != nullptr) *error = std::string("fork: ") + std::strerror(errno);
    closeAll();
    return nullptr;
  }
  if (parent == 0) {
    // The intermediate parent: start the program, report its pid (or the failure as a negative
    // error number), let go of the pipes and wait to be killed.
    pid_t child = -1;
    const int spawnError = plan.run(&child);
    const pid_t reported = spawnError == 0 ? child : -spawnError;
    if (write(report.write, &reported, sizeof reported) != sizeof reported) _exit(127);
    for (int fd :
         {in.read, in.write, out.read, out.write, err.read, err.write, report.read, report.write}) {
      if (fd >= 0) close(fd);
    }
    if (spawnError != 0) _exit(127);
    while (true) pause();
  }

  closeFd(in.read);
  closeFd(out.write);
  closeFd(err.write);
  closeFd(report.write);
  pid_t reported = 0;
  ssize_t got;
  while ((got = read(report.read, &reported, sizeof reported)) < 0 && errno == EINTR) {
  }
  closeFd(report.read);
  if (got != sizeof reported || reported <= 0) {
    if (error != nullptr) {
      *error = "posix_spawn " + path + ": " +
               (got == sizeof reported ? std::strerror(-reported) : "no report from the parent");
    }
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    closeAll();
    return nullptr;
  }
  std::unique_ptr<AgentProcess> process(new AgentProcess);
  process->pid_ = reported;
  process->parent_ = parent;
  process->stdinFd_ = in.write;
  process->stdoutFd_ = out.read;
  process->stderrFd_ = err.read;
  process->statusLines_ = options.statusLines;
  return process;
}

AgentProcess::~AgentProcess() {
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    // The program may still be the intermediate parent's child; once that is gone it is ours.
    if (parent_ > 0) killIntermediateParent();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!checkEnded() && Clock::now() < deadline) pump(10);
  }
  if (parent_ > 0) killIntermediateParent();
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  if (statusLines_) appendToStatusLog(err_);
}

bool AgentProcess::sendSignal(int signo) {
  return !status_ && kill(pid_, signo) == 0;
}

bool AgentProcess::killIntermediateParent() {
  if (parent_ <= 0) return false;
  kill(parent_, SIGKILL);
  while (waitpid(parent_, nullptr, 0) < 0 && errno == EINTR) {
  }
  parent_ = 0;
  return true;
}

void AgentProcess::closeStdout() {
  closeFd(stdoutFd_);
}

void AgentProcess::closeStderr() {
  closeFd(stderrFd_);
}

bool AgentProcess::writeStdin(std::string_view bytes) {
  while (!bytes.empty() && stdinFd_ >= 0) {
    const ssize_t n = write(stdinFd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return bytes.empty();
}

void AgentProcess::closeStdin() {
  closeFd(stdinFd_);
}

void AgentProcess::pump(int timeoutMs) {
  pollfd fds[2];
  std::string* sinks[2];
  int* owners[2];
  nfds_t count = 0;
  for (auto [fd, sink] : {std::pair{&stdoutFd_, &out_}, std::pair{&stderrFd_, &err_}}) {
    if (*fd < 0 || (fd == &stdoutFd_ && !readStdout_)) continue;
    fds[count] = {*fd, POLLIN, 0};
    sinks[count] = sink;
    owners[count] = fd;
    ++count;
  }
  if (count == 0) {
    if (timeoutMs > 0) poll(nullptr, 0, timeoutMs);
    return;
  }
  if (poll(fds, count, timeoutMs) <= 0) return;
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[65536];
    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      closeFd(*owners[i]);
    }
  }
}

bool AgentProcess::checkEnded() {
  if (status_) return true;
  int raw = 0;
  const pid_t got = waitpid(pid_, &raw, WNOHANG);
  // ECHILD: still the intermediate parent's child, not yet ours to reap.
  if (got != pid_) return false;
  status_ = statusFrom(raw);
  return true;
}

bool AgentProcess::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (done()) return true;
    if (checkEnded()) {
      // Whatever the process wrote before it ended may still sit in the pipes.
      readStdout_ = true;
      const auto drainDeadline = std::min(deadline, Clock::now() + std::chrono::seconds(2));
      while ((stdoutFd_ >= 0 || stderrFd_ >= 0) && Clock::now() < drainDeadline && !done()) {
        pump(millisecondsUntil(drainDeadline));
      }
      return done();
    }
    if (Clock::now() >= deadline) return false;
    pump(std::min(10, millisecondsUntil(deadline)));
  }
}

bool AgentProcess::waitForStderrLines(std::size_t count, std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] { return static_cast<std::size_t>(std::count(err_.begin(), err_.end(), '\n')) >= count; },
      timeout);
}

bool AgentProcess::waitForStdoutBytes(std::size_t count, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return out_.size() >= count; }, timeout);
}

std::optional<ExitStatus> AgentProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!checkEnded()) {
    if (Clock::now() >= deadline) return std::nullopt;
    pump(std::min(10, millisecondsUntil(deadline)));
  }
  // The pipes reach their end once the last writer is gone: normally at once.
  readStdout_ = true;
  const auto drainDeadline = Clock::now() + std::chrono::seconds(2);
  while ((stdoutFd_ >= 0 || stderrFd_ >= 0) && Clock::now() < drainDeadline) {
    pump(millisecondsUntil(drainDeadline));
  }
  return status_;
}

}  // namespace quenwick::harness
