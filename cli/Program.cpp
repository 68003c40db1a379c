#include "Program.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <stop_token>
#include <thread>

#include "CliOptions.h"
#include "Commands.h"
#include "EventPrinter.h"

namespace zodivo_cli {
namespace {

// How long a stop may take before the program ends without its main thread, which may be stuck
// writing to an output that nobody reads.
constexpr std::chrono::milliseconds kStopGrace{500};

std::mutex finishing_mutex;
std::condition_variable finishing;
bool finished = false;  // guarded by finishing_mutex

[[noreturn]] void Finish(int status) {
  std::fflush(nullptr);
  {
    std::lock_guard guard(finishing_mutex);
    finished = true;
  }
  finishing.notify_all();
  // Without destructors: a reader may be held up for seconds in a write to a unit that does not
  // take the request, and is never waited for.
  std::_Exit(status);
}

// The program runs in the user's locale, which hidapi needs to read serial numbers and the
// regular expressions to match letters; in the C locale, with UTF-8 for both. Numbers stay as
// scripts write them.
void TakeLocale() {
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  const char* ctype = std::setlocale(LC_CTYPE, nullptr);
  if (ctype == nullptr || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

// Until SIGINT, SIGTERM or SIGHUP, or until standard output's reader goes away: a thread of its
// own waits for either, so that no signal handler is needed and every stop goes through the
// token. A signal that the parent set to be ignored stays ignored (nohup, a job started with &
// from a script). Blocked before any other thread exists, so that none is ever ended by one.
std::stop_token WatchForStop() {
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) sigaddset(&ending, signal);
  }
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  const int signals = signalfd(-1, &ending, SFD_CLOEXEC);
  if (signals < 0) {
    std::perror("tavrix-zodivo-cli: signalfd");
    Finish(1);
  }
  std::stop_source stop;
  std::thread([signals, stop]() mutable {
    pollfd watched[] = {{signals, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    while (true) {
      if (poll(watched, 2, -1) < 0 && errno == EINTR) continue;
      // A standard output that is not open at all is left to the first write to tell.
      if (watched[0].revents != 0 || (watched[1].revents & (POLLERR | POLLHUP)) != 0) break;
      watched[1].fd = -1;
    }
    stop.request_stop();
    std::unique_lock guard(finishing_mutex);
    if (finishing.wait_for(guard, kStopGrace, [] { return finished; })) return;
    // The main thread is stuck writing. What it was writing is lost; standard error is told if it
    // can take the words without waiting.
    static constexpr char kLost[] = "tavrix-zodivo-cli: stopped while the output was held up; lines not yet written are lost\n";
    pollfd error{STDERR_FILENO, POLLOUT, 0};
    if (poll(&error, 1, 0) == 1 && (error.revents & POLLOUT) != 0) (void)!write(STDERR_FILENO, kLost, sizeof kLost - 1);
    // The system call itself: a runtime that flushes the streams in _exit (ThreadSanitizer's
    // does) would wait for the very stream that is stuck.
    syscall(SYS_exit_group, 0);
  }).detach();  // the process ends without it
  return stop.get_token();
}

}  // namespace

void GuardStandardDescriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one.
    if (open("/dev/null", O_RDONLY | O_NOCTTY) != descriptor) std::_Exit(1);
  }
}

void RunProgram(int argc, char** argv, devlink::HidPort& port,
                const std::function<devlink::HotplugMonitor*()>& units) {
  GuardStandardDescriptors();
  // A reader that went away is a failed write, which ends a command quietly.
  signal(SIGPIPE, SIG_IGN);
  TakeLocale();
  const auto options = ParseCliOptions(argc, argv);
  if (!options) Finish(2);
  tzset();
  const Output output = options->journal ? Output::kJournal : options->json ? Output::kJson : Output::kText;
  EventPrinter print(STDOUT_FILENO, stderr, output, options->timestamps, options->all);
  const bool runs_until_stopped = options->command == CliOptions::Command::kMonitor || options->watch || options->each;
  const std::stop_token stop = runs_until_stopped ? WatchForStop() : std::stop_token();
  int status = 1;
  try {
    // Never destroyed: its readers may still be reading, or held up in a write, as the process ends.
    auto* fleet = new devlink::UnitFleet(port, *units(), FleetFor(*options));
    switch (options->command) {
      case CliOptions::Command::kList:
        status = RunList(*fleet, *options, print, stop);
        break;
      case CliOptions::Command::kId:
        status = RunId(*fleet, *options, print, stop);
        break;
      case CliOptions::Command::kMonitor:
        status = RunMonitor(*fleet, *options, print, stop);
        break;
    }
  } catch (const std::exception& error) {
    print.Error(error.what());
  }
  if (!print.Drain()) status = print.OutputFailure();
  Finish(status);
}

}  // namespace zodivo_cli
