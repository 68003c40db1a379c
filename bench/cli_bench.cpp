// The command-line companion as a process, beside the plainest programs on the HID library in
// the same run: a loop on one unit (naive_hid_monitor) and a thread for each of many units
// (naive_hid_fleet). Each program runs unchanged on scripted units, with the stand-in for the HID
// library (HidStandin.cpp) loaded through LD_PRELOAD, and the benchmark answering each unit's
// identity request as the unit would. For each: the time from a log report's send to its line
// read from the program's standard output, median and p99; the program's CPU use while lines come
// and while its units are open and silent; its peak resident memory; and whether every line
// arrived once, from the unit that sent it. One case also stops reading the program's output for a
// while, as a reader held up does. Then each figure against its aim: the companion's CPU use and
// latency against the plain programs', and what it lost.
//   cli_bench [SECONDS [CASE]...]   lines for SECONDS (10); the cases marked to run by default
//                                   unless some are named
// Cases compared with each other run by turns, CLI_BENCH_RUNS times each (3), so that a spell of
// load from elsewhere on the machine falls on each of them alike; each keeps its lowest CPU use
// and latency, what the program can do once the noise is left out, and the lines lost and the
// peak memory of all its runs. The silent figure is taken in a case's first run only.
// With CLI_BENCH_WRAPPER set to a command, such as "valgrind --tool=callgrind", each program runs
// under it, for what that command counts: the figures then measure the wrapper too.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "HidStandin.h"
#include "ReportFrame.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the units stay open and silent while the program's CPU use at rest is taken.
constexpr auto kSilence = 5s;
// How long a program may take to ask every unit it opens for its identity, and how often it is
// looked at meanwhile.
constexpr auto kStartLimit = 10s;
constexpr auto kStartLook = 10ms;
// How long lines may still come after the last one is sent.
constexpr auto kDrainLimit = 2s;
// How many times each case compared with others runs, unless CLI_BENCH_RUNS says.
constexpr int kRuns = 3;

// How the program writes a log line on standard output.
enum class Output {
  kText,               // the text alone
  kIdentifierAndText,  // the text after the sending unit's identifier
  kJson,               // a `log` event naming the sending unit's node and identifier
};

struct Case {
  std::string name;
  std::vector<std::string> command;
  Output output;
  std::size_t units;    // listed
  std::size_t opened;   // the first `opened` of them are opened and asked by the program
  std::size_t sending;  // the first `sending` of them send lines
  std::size_t rate;     // lines a second from each sending unit
  bool by_default;
  std::string load;              // cases of the same load are compared, and run by turns
  Clock::duration held_up = 0s;  // how long the reader of its output stops, half way through the lines
};

const std::vector<Case> kCases = {
    {"monitor", {CLI_BINARY, "monitor"}, Output::kText, 1, 1, 1, 1000, true, "1x1000"},
    {"naive", {NAIVE_BINARY}, Output::kText, 1, 1, 1, 1000, true, "1x1000"},
    {"all-10x1000", {CLI_BINARY, "monitor", "--all"}, Output::kIdentifierAndText, 10, 10, 10, 1000, true, "10x1000"},
    {"naive-fleet-10x1000", {NAIVE_FLEET_BINARY}, Output::kIdentifierAndText, 10, 10, 10, 1000, true, "10x1000"},
    {"all", {CLI_BINARY, "monitor", "--all"}, Output::kIdentifierAndText, 50, 50, 50, 100, true, "50x100"},
    {"all-json", {CLI_BINARY, "monitor", "--all", "--json"}, Output::kJson, 50, 50, 50, 100, true, "50x100"},
    {"naive-fleet", {NAIVE_FLEET_BINARY}, Output::kIdentifierAndText, 50, 50, 50, 100, true, "50x100"},
    {"held-up", {CLI_BINARY, "monitor", "--all"}, Output::kIdentifierAndText, 10, 10, 10, 1000, true, "held-up", 2s},
};

struct Figures {
  double p50_ms = 0;
  double p99_ms = 0;
  double busy_cpu = 0;               // share of one core while lines come
  std::optional<double> silent_cpu;  // share of one core while the units are open and silent
  double peak_mib = 0;
  std::size_t lines = 0;
  std::size_t lost = 0;  // sent and never arrived from the unit that sent them
};

// What the runs of one case come to, as the benchmark's header says.
void Keep(Figures& kept, const Figures& run) {
  kept.p50_ms = std::min(kept.p50_ms, run.p50_ms);
  kept.p99_ms = std::min(kept.p99_ms, run.p99_ms);
  kept.busy_cpu = std::min(kept.busy_cpu, run.busy_cpu);
  if (!kept.silent_cpu) kept.silent_cpu = run.silent_cpu;
  kept.peak_mib = std::max(kept.peak_mib, run.peak_mib);
  kept.lines += run.lines;
  kept.lost += run.lost;
}

int Check(int result, const char* what) {
  if (result < 0) throw std::system_error(errno, std::generic_category(), what);
  return result;
}

// CPU time of every thread the process has had, to the nanosecond: utime + stime without the
// clock ticks of /proc/PID/stat, too coarse for a process that mostly waits.
double CpuSeconds(clockid_t process) {
  timespec now{};
  clock_gettime(process, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double PeakResidentMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string field; status >> field;) {
    double kib = 0;
    if (field == "VmHWM:" && status >> kib) return kib / 1024;
  }
  return 0;
}

double Percentile(std::vector<double>& values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

std::optional<std::size_t> NumberIn(std::string_view text) {
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// The program's standard output, line by line as it is read from the pipe: which numbered line
// arrived when, from the unit that sent it.
class Tally {
 public:
  // A held-up case's reader stops `hold_after` after the first line arrives.
  Tally(const Case& run, std::size_t lines, Clock::duration hold_after)
      : case_(run), hold_after_(hold_after), arrived_(lines), arrivals_(lines) {
    for (std::size_t unit = 0; unit < run.sending; ++unit) {
      paths_.push_back(hid_standin::UnitPath(unit));
      identifiers_.push_back(devlink::FormatHex(hid_standin::UnitIdentifier(unit)));
    }
  }

  void Read(int pipe) {
    std::string pending;
    char chunk[1 << 16];
    bool holding = case_.held_up > 0s;
    std::optional<Clock::time_point> hold_at;
    for (ssize_t got; (got = read(pipe, chunk, sizeof chunk)) > 0;) {
      const auto now = Clock::now();
      pending.append(chunk, static_cast<std::size_t>(got));
      std::size_t start = 0;
      for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        Take(std::string_view(pending).substr(start, end - start), now);
      }
      pending.erase(0, start);
      if (holding && !hold_at && received_ > 0) hold_at = now + hold_after_;
      if (holding && hold_at && now >= *hold_at) {
        std::this_thread::sleep_for(case_.held_up);
        holding = false;
      }
    }
  }

  std::size_t Received() const { return received_; }
  const std::vector<Clock::time_point>& Arrived() const { return arrived_; }
  const std::vector<std::uint32_t>& Arrivals() const { return arrivals_; }
  std::size_t Misplaced() const { return misplaced_; }
  std::size_t Others() const { return others_; }

 private:
  void Take(std::string_view line, Clock::time_point now) {
    std::string text;
    std::string unit_path, identifier;  // as the line names them
    if (case_.output == Output::kJson) {
      const auto event = nlohmann::json::parse(line, nullptr, false);
      // A field that is missing or not a string (an identifier not yet known is null) reads as "".
      const auto field = [&](const char* name) {
        const auto value = event.find(name);
        return value != event.end() && value->is_string() ? value->get<std::string>() : std::string();
      };
      if (!event.is_object()) {
        ++others_;
        return;
      }
      if (field("event") != "log") return;  // connects, identity replies and the like
      text = field("text");
      unit_path = field("unit");
      identifier = field("identifier");
    } else {
      // The companion puts a space between the identifier and the text, the plain program a tab.
      const std::size_t space = line.find_last_of(" \t");
      text = line.substr(space == std::string_view::npos ? 0 : space + 1);
      identifier = line.substr(0, line.size() - text.size());
    }
    const std::optional<std::size_t> number = NumberIn(text);
    if (!number || *number >= arrived_.size()) {
      ++others_;
      return;
    }
    const std::size_t sender = *number % case_.sending;
    const bool right_unit =
        case_.output == Output::kText ||
        (identifier.find(identifiers_[sender]) != std::string::npos &&
         (case_.output != Output::kJson || unit_path == paths_[sender]));
    if (!right_unit) {
      ++misplaced_;
      return;
    }
    if (arrivals_[*number]++ == 0) {
      arrived_[*number] = now;
      ++received_;
    }
  }

  const Case& case_;
  const Clock::duration hold_after_;
  std::vector<std::string> paths_, identifiers_;
  std::vector<Clock::time_point> arrived_;
  std::vector<std::uint32_t> arrivals_;
  std::atomic<std::size_t> received_ = 0;
  std::size_t misplaced_ = 0;
  std::size_t others_ = 0;
};

// A program started on its own units: the benchmark's ends of their channels, their writers, its
// standard output and what it wrote on standard error.
struct Program {
  pid_t pid = -1;
  std::vector<int> channels;
  std::vector<int> writers;
  int output = -1;
  int messages = -1;
};

Program Start(const Case& run) {
  static int started = 0;
  Program program;
  std::vector<int> theirs;
  std::string list;
  const std::string writers = "cli_bench-" + std::to_string(getpid()) + "-" + std::to_string(++started) + "-";
  for (std::size_t unit = 0; unit < run.units; ++unit) {
    int pair[2];
    Check(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), "socketpair");
    program.channels.push_back(pair[0]);
    theirs.push_back(pair[1]);
    list += (list.empty() ? "" : ",") + std::to_string(pair[1]);
    const int writer = Check(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), "socket");
    program.writers.push_back(writer);
    sockaddr_un address;
    Check(bind(writer, reinterpret_cast<const sockaddr*>(&address), hid_standin::WriterAddress(writers, unit, address)),
          "bind");
    Check(listen(writer, SOMAXCONN), "listen");
  }
  int output[2];
  Check(pipe2(output, O_CLOEXEC), "pipe2");
  program.output = output[0];
  program.messages = Check(memfd_create("cli_bench-stderr", MFD_CLOEXEC), "memfd_create");

  const std::string preload = "LD_PRELOAD=";
  const std::string channels = std::string(hid_standin::kChannelsVariable) + "=";
  const std::string writer_names = std::string(hid_standin::kWritersVariable) + "=";
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    if (!variable.starts_with(preload) && !variable.starts_with(channels) && !variable.starts_with(writer_names)) {
      environment.emplace_back(variable);
    }
  }
  environment.push_back(preload + STANDIN_LIBRARY);
  environment.push_back(channels + list);
  environment.push_back(writer_names + writers);
  std::vector<std::string> command;
  if (const char* wrapper = std::getenv("CLI_BENCH_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) command.push_back(word);
  }
  command.insert(command.end(), run.command.begin(), run.command.end());
  std::vector<char*> argv, envp;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  for (std::string& variable : environment) envp.push_back(variable.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  program.pid = Check(fork(), "fork");
  if (program.pid == 0) {
    for (const int channel : theirs) fcntl(channel, F_SETFD, 0);
    dup2(output[1], STDOUT_FILENO);
    dup2(program.messages, STDERR_FILENO);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  for (const int channel : theirs) close(channel);
  close(output[1]);
  return program;
}

// The units' side of the identity request, on a thread of its own for the whole run: every
// request that a unit gets, on its channel or through a handle connected to its writer, is
// answered on its channel, as the unit answers every request and the kernel gives its reply to
// every handle that reads the unit.
class Responder {
 public:
  explicit Responder(const Program& program)
      : channels_(program.channels),
        writers_(program.writers),
        requests_(std::make_unique<std::atomic<std::uint32_t>[]>(program.channels.size())),
        stop_(Check(eventfd(0, EFD_CLOEXEC), "eventfd")),
        thread_([this] { Run(); }) {}
  ~Responder() {
    Stop();
    close(stop_);
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Waits for the thread; the channels and writers may be closed after.
  void Stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
  }

  // How many of the first `units` units have been asked at least once, and how many requests all
  // units have had.
  std::size_t UnitsAsked(std::size_t units) const {
    return static_cast<std::size_t>(
        std::count_if(requests_.get(), requests_.get() + units, [](const auto& requests) { return requests > 0; }));
  }
  std::size_t Requests() const {
    std::size_t total = 0;
    for (std::size_t unit = 0; unit < channels_.size(); ++unit) total += requests_[unit];
    return total;
  }

 private:
  enum class Kind { kChannel, kWriter, kHandle };

  void Run() {
    // What each descriptor watched is, and whose; the first is the stop.
    std::vector<pollfd> watched{{stop_, POLLIN, 0}};
    std::vector<std::pair<Kind, std::size_t>> what{{Kind::kChannel, 0}};
    for (std::size_t unit = 0; unit < channels_.size(); ++unit) {
      watched.push_back({channels_[unit], POLLIN, 0});
      what.emplace_back(Kind::kChannel, unit);
      watched.push_back({writers_[unit], POLLIN, 0});
      what.emplace_back(Kind::kWriter, unit);
    }
    while (poll(watched.data(), watched.size(), -1) >= 0 && watched[0].revents == 0) {
      for (std::size_t i = 1; i < watched.size(); ++i) {
        if (watched[i].revents == 0) continue;
        const auto [kind, unit] = what[i];
        if (kind == Kind::kWriter) {
          if (const int handle = accept4(watched[i].fd, nullptr, nullptr, SOCK_CLOEXEC); handle >= 0) {
            watched.push_back({handle, POLLIN, 0});
            what.emplace_back(Kind::kHandle, unit);
          }
          continue;
        }
        devlink::ReportFrame written{};
        const ssize_t got = recv(watched[i].fd, written.data(), written.size(), MSG_DONTWAIT);
        // Closed at the other end: a handle the program is done with, or the program ended.
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
          if (kind == Kind::kHandle) close(watched[i].fd);
          watched[i].fd = -1;
        }
        if (got == static_cast<ssize_t>(written.size()) && devlink::IsValidFrame(written) &&
            devlink::FrameHeader(written) == devlink::kIdentityRequestHeader) {
          Answer(unit);
        }
      }
    }
    for (std::size_t i = 1; i < watched.size(); ++i) {
      if (what[i].first == Kind::kHandle && watched[i].fd >= 0) close(watched[i].fd);
    }
  }

  void Answer(std::size_t unit) {
    // The payload's first byte carries nothing; the identifier follows it.
    std::array<std::uint8_t, 1 + devlink::kIdentitySize> payload{};
    const auto identifier = hid_standin::UnitIdentifier(unit);
    std::copy(identifier.begin(), identifier.end(), payload.begin() + 1);
    const devlink::ReportFrame reply = devlink::BuildIncomingFrame(devlink::kIdentityReply, payload);
    send(channels_[unit], reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ++requests_[unit];
  }

  const std::vector<int> channels_;
  const std::vector<int> writers_;
  const std::unique_ptr<std::atomic<std::uint32_t>[]> requests_;
  const int stop_;
  std::thread thread_;  // last, so it starts after the members it uses exist
};

bool Running(pid_t pid) {
  siginfo_t ended{};
  return waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == 0;
}

// Waits until the program has asked each of the first `opened` units for its identity.
bool AwaitRequests(const Program& program, const Responder& responder, std::size_t opened) {
  for (const auto deadline = Clock::now() + kStartLimit; responder.UnitsAsked(opened) < opened;) {
    if (!Running(program.pid) || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kStartLook);
  }
  return true;
}

// Ends the program, and then its units, so that it sees none of them unplugged.
void Stop(const Program& program, Responder& responder, int signal) {
  kill(program.pid, signal);
  waitpid(program.pid, nullptr, 0);
  responder.Stop();
  for (const int channel : program.channels) close(channel);
  for (const int writer : program.writers) close(writer);
}

void PrintMessages(const Program& program) {
  std::string said(4096, '\0');
  const ssize_t got = pread(program.messages, said.data(), said.size(), 0);
  said.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  std::printf("  its standard error%s:\n%s\n", said.size() == 4096 ? " (the first 4 KiB)" : "", said.c_str());
}

std::string CommandLine(const Case& run) {
  std::string line = run.command.front().substr(run.command.front().rfind('/') + 1);
  for (std::size_t i = 1; i < run.command.size(); ++i) line += " " + run.command[i];
  return line;
}

std::optional<Figures> Run(const Case& run, int seconds, bool take_silence) {
  const std::size_t lines = run.sending * run.rate * static_cast<std::size_t>(seconds);
  std::printf("[%s] %s: units listed %zu, opened %zu, sending %zu (%zu lines/s each for %d s)%s\n", run.name.c_str(),
              CommandLine(run).c_str(), run.units, run.opened, run.sending, run.rate, seconds,
              run.held_up > 0s ? ", its output held up half way through" : "");
  std::fflush(stdout);
  const Program program = Start(run);
  Responder responder(program);
  const Clock::duration hold_after = std::max<Clock::duration>(0s, std::chrono::seconds(seconds) / 2 - run.held_up / 2);
  Tally tally(run, lines, hold_after);
  std::thread reader([&] { tally.Read(program.output); });
  clockid_t cpu{};
  if (!AwaitRequests(program, responder, run.opened) || clock_getcpuclockid(program.pid, &cpu) != 0) {
    std::printf("  %s before it had asked its %zu units for their identity (%zu asked)\n",
                Running(program.pid) ? "timed out" : "ended", run.opened, responder.UnitsAsked(run.opened));
    Stop(program, responder, SIGKILL);
    reader.join();
    PrintMessages(program);
    close(program.output);
    close(program.messages);
    return std::nullopt;
  }
  Figures figures;
  // The identity replies are taken before the silence is timed, or the lines sent.
  std::this_thread::sleep_for(200ms);
  if (take_silence) {
    const double silent_from = CpuSeconds(cpu);
    const auto silence_start = Clock::now();
    std::this_thread::sleep_for(kSilence);
    figures.silent_cpu =
        (CpuSeconds(cpu) - silent_from) / std::chrono::duration<double>(Clock::now() - silence_start).count();
  }

  std::vector<Clock::time_point> sent(lines);
  std::size_t refused = 0;
  const auto period = std::chrono::nanoseconds(1s) / static_cast<std::int64_t>(run.sending * run.rate);
  const double busy_from = CpuSeconds(cpu);
  const auto start = Clock::now();
  for (std::size_t i = 0; i < lines; ++i) {
    std::this_thread::sleep_until(start + static_cast<std::int64_t>(i) * period);
    const std::string text = std::to_string(i);
    const devlink::ReportFrame report = devlink::BuildIncomingFrame(
        devlink::kLogText, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    sent[i] = Clock::now();
    // A unit whose reports nobody takes loses them, as hidraw drops what its reader leaves.
    if (send(program.channels[i % run.sending], report.data(), report.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
        static_cast<ssize_t>(report.size())) {
      ++refused;
    }
  }
  const auto drained_by = Clock::now() + kDrainLimit;
  while (tally.Received() < lines - refused && Clock::now() < drained_by) std::this_thread::sleep_for(1ms);
  figures.busy_cpu = (CpuSeconds(cpu) - busy_from) / std::chrono::duration<double>(Clock::now() - start).count();
  figures.peak_mib = PeakResidentMiB(program.pid);
  Stop(program, responder, SIGTERM);
  reader.join();

  std::vector<double> latencies;
  for (std::size_t i = 0; i < lines; ++i) {
    if (tally.Arrivals()[i] != 0) {
      latencies.push_back(std::chrono::duration<double, std::milli>(tally.Arrived()[i] - sent[i]).count());
    }
  }
  std::size_t repeated = 0;
  std::vector<bool> complete(run.sending, true);
  for (std::size_t i = 0; i < lines; ++i) {
    repeated += tally.Arrivals()[i] > 1 ? tally.Arrivals()[i] - 1u : 0u;
    if (tally.Arrivals()[i] != 1) complete[i % run.sending] = false;
  }
  figures.p50_ms = Percentile(latencies, 0.5);
  figures.p99_ms = Percentile(latencies, 0.99);
  figures.lines = lines;
  figures.lost = lines - tally.Received();
  std::printf("  lines     %zu sent, %zu arrived (%zu repeats, %zu from another unit, %zu other lines); "
              "%zu refused by a full channel\n",
              lines, tally.Received(), repeated, tally.Misplaced(), tally.Others(), refused);
  std::printf("  units     every line once from %zu of %zu sending units; %zu identity requests answered\n",
              static_cast<std::size_t>(std::count(complete.begin(), complete.end(), true)), run.sending,
              responder.Requests());
  std::printf("  latency   p50 %.3f ms, p99 %.3f ms (send to the line read from the pipe)\n", figures.p50_ms,
              figures.p99_ms);
  std::printf("  CPU       %.2f %% of one core while lines come", 100 * figures.busy_cpu);
  if (figures.silent_cpu) {
    std::printf(", %.3f %% with its units open and silent (%lld s)", 100 * *figures.silent_cpu,
                static_cast<long long>(kSilence.count()));
  }
  std::printf("\n  peak RSS  %.1f MiB\n", figures.peak_mib);
  if (tally.Received() < lines) PrintMessages(program);
  close(program.output);
  close(program.messages);
  std::fflush(stdout);
  return figures;
}

// Each aim, with the figure of the cases that it compares, where they ran.
void PrintAims(const std::map<std::string, Figures>& results) {
  const auto ran = [&](const char* name) {
    const auto found = results.find(name);
    return found != results.end() ? &found->second : nullptr;
  };
  if (const Figures* monitor = ran("monitor"), *naive = ran("naive"); monitor && naive) {
    std::printf("monitor against the naive loop: CPU %.2f (aim <= 1.2), median latency %+.3f ms (aim <= 0.1 ms)\n",
                monitor->busy_cpu / naive->busy_cpu, monitor->p50_ms - naive->p50_ms);
  }
  if (const Figures* all = ran("all-10x1000"), *fleet = ran("naive-fleet-10x1000"); all && fleet) {
    std::printf("10x1000: monitor --all CPU %.2f of the plain program's (aim <= 0.5), lost %zu of %zu (aim 0)\n",
                all->busy_cpu / fleet->busy_cpu, all->lost, all->lines);
  }
  if (const Figures* all = ran("all"), *fleet = ran("naive-fleet"); all && fleet) {
    std::printf("50x100: monitor --all CPU %.2f of the plain program's (aim <= 0.5)\n",
                all->busy_cpu / fleet->busy_cpu);
  }
  if (const Figures* all = ran("all"), *json = ran("all-json"); all && json) {
    std::printf("50x100: monitor --all --json CPU %.2f of the text's (aim <= 1.2)\n", json->busy_cpu / all->busy_cpu);
  }
  for (const auto& [name, label] :
       {std::pair{"all-10x1000", "10x1000: monitor --all"}, std::pair{"all", "50x100: monitor --all"},
        std::pair{"all-json", "50x100: monitor --all --json"}}) {
    if (const Figures* all = ran(name)) std::printf("%s latency p99 %.3f ms (aim <= 5 ms)\n", label, all->p99_ms);
  }
  if (const Figures* all = ran("all"); all && all->silent_cpu) {
    std::printf(
        "50 silent units: monitor --all CPU %.3f %% of a core (aim <= 0.5 %%), peak RSS %.1f MiB (aim <= 16 MiB)\n",
        100 * *all->silent_cpu, all->peak_mib);
  }
  if (const Figures* held = ran("held-up")) {
    std::printf("held-up: monitor --all lost %zu of %zu lines with its output held up for 2 s (aim 0)\n", held->lost,
                held->lines);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const char* runs_wanted = std::getenv("CLI_BENCH_RUNS");
  const int runs = runs_wanted != nullptr ? std::atoi(runs_wanted) : kRuns;
  if (seconds <= 0 || runs <= 0) {
    std::fprintf(stderr, "usage: [CLI_BENCH_RUNS=N] cli_bench [SECONDS [CASE]...]\n");
    return 2;
  }
  const std::vector<std::string> named(argv + std::min(argc, 2), argv + argc);
  for (const std::string& name : named) {
    if (std::ranges::none_of(kCases, [&](const Case& run) { return run.name == name; })) {
      std::fprintf(stderr, "cli_bench: no case '%s'\n", name.c_str());
      return 2;
    }
  }
  std::vector<const Case*> chosen;
  for (const Case& run : kCases) {
    if (named.empty() ? run.by_default : std::ranges::find(named, run.name) != named.end()) chosen.push_back(&run);
  }
  std::map<std::string, Figures> results;
  int status = 0;
  try {
    std::vector<std::string> loads_done;
    for (const Case* first : chosen) {
      if (std::ranges::find(loads_done, first->load) != loads_done.end()) continue;
      loads_done.push_back(first->load);
      std::vector<const Case*> turns;
      std::ranges::copy_if(chosen, std::back_inserter(turns),
                           [&](const Case* run) { return run->load == first->load; });
      for (int turn = 0; turn < (turns.size() > 1 ? runs : 1); ++turn) {
        for (const Case* run : turns) {
          const std::optional<Figures> figures = Run(*run, seconds, turn == 0);
          if (!figures) {
            status = 1;
          } else if (const auto [kept, first_kept] = results.try_emplace(run->name, *figures); !first_kept) {
            Keep(kept->second, *figures);
          }
        }
      }
    }
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "cli_bench: %s\n", error.what());
    return 1;
  }
  PrintAims(results);
  return status;
}
