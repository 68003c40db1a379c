// tavrix-zodivo-cli: the Tavrix Omrin M3 from scripts, terminals and machines with no display.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <stop_token>
#include <thread>

#include "CliOptions.h"
#include "Commands.h"
#include "EventPrinter.h"
#include "HidPort.h"

namespace zodivo_cli {
namespace {

// Runs monitor until SIGINT, SIGTERM or SIGHUP, or until standard output's reader goes away: a
// thread of its own waits for either, so that the monitor loop needs no signal handler and every
// ending goes through it, closing the unit.
int MonitorUntilStopped(const CliOptions& options, EventPrinter& print) {
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, signal);
  // Blocked before any other thread exists, so that no thread is ever ended by one.
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  const int signals = signalfd(-1, &ending, SFD_CLOEXEC);
  if (signals < 0) {
    print.Error("signalfd failed");
    return 1;
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
  }).detach();  // the process ends without it
  return RunMonitor(devlink::SystemHidPort(), options, print, stop.get_token());
}

int Run(const CliOptions& options, EventPrinter& print) {
  switch (options.command) {
    case CliOptions::Command::kList:
      return RunList(devlink::SystemHidPort(), options, print);
    case CliOptions::Command::kId:
      return RunId(devlink::SystemHidPort(), options, print);
    case CliOptions::Command::kMonitor:
      return MonitorUntilStopped(options, print);
  }
  return 1;
}

}  // namespace
}  // namespace zodivo_cli

int main(int argc, char** argv) {
  // A reader that went away is a failed write, which ends a command quietly.
  signal(SIGPIPE, SIG_IGN);
  const auto options = zodivo_cli::ParseCliOptions(argc, argv);
  if (!options) return 2;
  tzset();
  zodivo_cli::EventPrinter print(stdout, stderr, options->json, options->timestamps);
  int status = 1;
  try {
    status = zodivo_cli::Run(*options, print);
  } catch (const std::exception& error) {
    print.Error(error.what());
  }
  // Without destructors: a reader of list or id may still be held up in a write to its unit.
  std::fflush(nullptr);
  std::_Exit(status);
}
