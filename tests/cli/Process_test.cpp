// tavrix-zodivo-cli as a process, on a scripted unit: how it takes its command line, its signals
// and its standard descriptors, and how promptly it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "FakeHidPort.h"

namespace {

using namespace std::chrono_literals;

// Starts the program with `args`; `prepare` runs in the child, before exec. Its process and the
// read end of its standard error.
std::pair<pid_t, int> Start(std::vector<std::string> args, const std::function<void()>& prepare = [] {},
                            const char* bench = "plug 1\n") {
  const std::string commands = ::testing::TempDir() + "process-bench";
  std::ofstream(commands) << bench;
  setenv("SCRIPTED_BENCH", commands.c_str(), 1);
  int err[2];
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    prepare();
    std::vector<char*> argv{const_cast<char*>(SCRIPTED_CLI)};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(SCRIPTED_CLI, argv.data());
    _exit(127);
  }
  close(err[1]);
  return {pid, err[0]};
}

// Its exit status, or -1 when it has not ended within `limit`.
int Ended(pid_t pid, std::chrono::milliseconds limit = 10s) {
  auto waited = std::async(std::launch::async, [pid] {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  });
  const bool late = waited.wait_for(limit) != std::future_status::ready;
  if (late) kill(pid, SIGKILL);
  return late ? (waited.get(), -1) : waited.get();
}

std::string ReadAll(int fd) {
  std::string text;
  char bytes[512];
  for (ssize_t got; (got = read(fd, bytes, sizeof bytes)) > 0;) text.append(bytes, static_cast<std::size_t>(got));
  close(fd);
  return text;
}

// nohup, or a job started with & from a script, leaves SIGHUP or SIGINT ignored, and so must it.
TEST(Process, ASignalIgnoredByTheParentStaysIgnored) {
  const auto [pid, err] = Start({"monitor"}, [] { signal(SIGHUP, SIG_IGN); });
  // Once the program runs (the status's first line names it) with SIGTERM blocked, it has set up
  // its signals: SIGHUP then meets what it made. A sanitizer may block every signal around fork.
  const auto set_up = [child = pid] {
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    std::string line, name;
    while (std::getline(status, line) && !line.starts_with("SigBlk:")) name = name.empty() ? line : name;
    return name == "Name:\tscripted_bench" && line.starts_with("SigBlk:") &&
           (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
  };
  ASSERT_TRUE(devlink::testing::FakeHidPort::WaitFor(set_up)) << "the program did not set up its signals";
  kill(pid, SIGHUP);
  EXPECT_EQ(Ended(pid, 300ms), -1) << "it ended on an ignored SIGHUP";
  close(err);
}

TEST(Process, AStopEndsItWithinASecondWhileItsOutputIsHeldUp) {
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const auto [pid, err] = Start({"monitor"}, [&] { dup2(out[1], STDOUT_FILENO); }, "plug 1\nstream 1 line\n");
  close(out[1]);
  // Nobody reads: the monitor fills the pipe, and its main thread then waits in a write.
  int pending = 0;
  devlink::testing::FakeHidPort::WaitFor([&, child = pid] {
    std::ifstream call("/proc/" + std::to_string(child) + "/syscall");
    long number = -1;
    return ioctl(out[0], FIONREAD, &pending) == 0 && pending >= 60000 && call >> number && number == SYS_write;
  });
  ASSERT_GE(pending, 60000);
  const auto stopped = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  EXPECT_EQ(Ended(pid, 1s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
  const std::string said = ReadAll(err);
  EXPECT_NE(said.find("lines not yet written are lost"), std::string::npos) << said;
  close(out[0]);
}

}  // namespace
