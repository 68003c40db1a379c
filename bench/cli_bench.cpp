// The command-line companion's monitor against the scripted device, with its output into a pipe:
// the time from a report leaving the port to its line arriving at the pipe's other end, median
// and p99, at 1000 lines a second; the CPU that the monitor and its reader take meanwhile and
// while the unit is silent; and the process's peak resident memory. `cli_bench [seconds]`.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "CpuShare.h"
#include "FakeHidPort.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char* argv[]) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const auto lines = static_cast<std::size_t>(seconds) * 1000;
  int ends[2];
  if (pipe(ends) != 0) return 1;
  std::FILE* out = fdopen(ends[1], "w");
  std::FILE* err = std::fopen("/dev/null", "w");

  devlink::testing::FakeHidPort port;
  port.Plug();
  zodivo_cli::CliOptions options;
  options.command = zodivo_cli::CliOptions::Command::kMonitor;
  zodivo_cli::EventPrinter print(out, err, false, true);
  std::stop_source stop;
  std::thread monitor([&] { zodivo_cli::RunMonitor(port, options, print, stop.get_token()); });

  // The pipe's other end: when each numbered line arrived, and this thread's own CPU time.
  std::vector<Clock::time_point> sent(lines), arrived(lines);
  double consumer_cpu = 0;
  std::thread consumer([&] {
    std::FILE* in = fdopen(ends[0], "r");
    char line[256];
    while (std::fgets(line, sizeof line, in) != nullptr) {
      const auto now = Clock::now();
      // "TIME N": the number after the time stamp.
      const char* number = std::strchr(line, ' ');
      const unsigned long index = number != nullptr ? std::strtoul(number + 1, nullptr, 10) : lines;
      if (index < lines) arrived[index] = now;
      consumer_cpu = ThreadCpuSeconds();
    }
  });
  devlink::testing::FakeHidPort::WaitFor([&] { return port.WaitingReads() == 1; });

  const double idle_share = CpuShare(10s);

  const double cpu_before = ProcessCpuSeconds();
  const double consumer_before = consumer_cpu;
  double sender_cpu = 0;
  const auto start = Clock::now();
  std::thread sender([&] {
    for (std::size_t i = 0; i < lines; ++i) {
      std::this_thread::sleep_until(start + i * 1ms);
      const std::string text = std::to_string(i);
      sent[i] = Clock::now();
      port.Send(devlink::BuildIncomingFrame(
          devlink::kLogText, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
    }
    sender_cpu = ThreadCpuSeconds();
  });
  sender.join();
  std::this_thread::sleep_for(100ms);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double busy_share = (ProcessCpuSeconds() - cpu_before - sender_cpu - (consumer_cpu - consumer_before)) / elapsed;

  stop.request_stop();
  monitor.join();
  port.Unplug();
  std::fclose(out);
  consumer.join();

  std::vector<double> latencies;
  for (std::size_t i = 0; i < lines; ++i) {
    if (arrived[i] != Clock::time_point{}) {
      latencies.push_back(std::chrono::duration<double, std::micro>(arrived[i] - sent[i]).count());
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("lines sent %zu, arrived %zu\n", lines, latencies.size());
  std::printf("port to pipe          p50 %.0f us, p99 %.0f us, max %.0f us\n", Percentile(latencies, 0.5),
              Percentile(latencies, 0.99), Percentile(latencies, 1.0));
  std::printf("monitor and reader    %.2f %% of a core at 1000 lines/s, %.2f %% while the unit is silent\n",
              100 * busy_share, 100 * idle_share);
  std::printf("peak resident memory  %.1f MiB (the whole benchmark)\n", static_cast<double>(usage.ru_maxrss) / 1024);
}
