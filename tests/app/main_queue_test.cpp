#include "app/main_queue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

namespace quenwick {
namespace {

// The queue never returns from run(), so each scenario runs in a child process that records
// what ran, in order, on a pipe and ends itself from a job.
std::string runInChild(void (*scenario)(MainQueue&, int out)) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    MainQueue queue;
    scenario(queue, fds[1]);
    queue.run();
    _exit(99);
  }
  close(fds[1]);
  std::string record;
  char buffer[256];
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) record.append(buffer, got);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return record;
}

void note(int out, const char* text) {
  EXPECT_GT(write(out, text, strlen(text)), 0);
}

TEST(MainQueue, RunsJobsPostedFromOtherThreadsInOrderOnTheMainThread) {
  const std::string record = runInChild([](MainQueue& queue, int out) {
    static const std::thread::id mainThread = std::this_thread::get_id();
    static int sink = out;
    std::thread([&queue] {
      for (const char* text : {"a", "b", "c"}) {
        queue.post([text] { note(sink, std::this_thread::get_id() == mainThread ? text : "?"); });
      }
      queue.post([] { _exit(0); });
    }).detach();
  });
  EXPECT_EQ(record, "abc");
}

TEST(MainQueue, TimerRepeatsAndAJobPostedBeforeRunIsServed) {
  const std::string record = runInChild([](MainQueue& queue, int out) {
    static int sink = out;
    static int ticks = 0;
    queue.post([] { note(sink, "j"); });
    queue.setRepeatingTimer(std::chrono::milliseconds(20), std::chrono::milliseconds(20), [] {
      note(sink, "t");
      if (++ticks == 3) _exit(0);
    });
  });
  EXPECT_EQ(record, "jttt");
}

TEST(MainQueue, TurnsARealSignalIntoAJob) {
  const std::string record = runInChild([](MainQueue& queue, int out) {
    static int sink = out;
    queue.onSignal(SIGUSR1, [] {
      note(sink, "signal");
      _exit(0);
    });
    struct sigaction action {};
    action.sa_handler = [](int signo) { MainQueue::notifySignal(signo); };
    sigaction(SIGUSR1, &action, nullptr);
    queue.post([] { kill(getpid(), SIGUSR1); });
  });
  EXPECT_EQ(record, "signal");
}

}  // namespace
}  // namespace quenwick
