// tavrix-vdev: a virtual Tavrix Omrin M3 on the kernel's /dev/uhid, for trying and testing the
// tool without the hardware. It answers identity requests, turns its input lines (and, if asked,
// a counted series) into log lines, and unplugs itself at the end of its input or on a signal.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "Connection.h"
#include "Cp1251.h"
#include "DeviceProtocol.h"
#include "Uhid.h"

namespace vdev {
namespace {

constexpr char kProgram[] = "tavrix-vdev";
constexpr char kUsage[] =
    "Usage: tavrix-vdev [OPTION]...\n"
    "Creates a virtual Tavrix Omrin M3 (USB HID 0483:5750) through /dev/uhid; needs root or\n"
    "write access to /dev/uhid. It answers every identity request with its identifier and\n"
    "sends each line of standard input as a log line (UTF-8 in, code page 1251 on the wire, at\n"
    "most 55 bytes); lines that come before the tool has opened it wait for that. It unplugs\n"
    "itself and exits once its input has ended and every line is sent, or on SIGINT or SIGTERM.\n"
    "Reports that break the protocol are described on standard error.\n"
    "\n"
    "  --id HEX          the 12-byte identifier as 24 hex digits (default 544156524958000000000001)\n"
    "  --serial TEXT     the serial number the system lists (default: the identifier in hex)\n"
    "  --count N         once opened, also send the log lines \"Log line 1\" .. \"Log line N\"\n"
    "  --interval MS     at least MS milliseconds between the lines of that series (default 100)\n"
    "  --greeting TEXT   a log line sent right after every identity reply\n"
    "  --record FILE     write every report received from the tool to FILE, one line of hex each\n"
    "  --help            show this text\n";

struct Options {
  Identifier identifier = *ParseIdentifier("544156524958000000000001");
  std::optional<std::string> serial;
  unsigned long count = 0;
  std::chrono::milliseconds interval{100};
  std::optional<std::string> greeting;
  std::optional<std::string> record;
};

std::optional<unsigned long> ParseNumber(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
    return std::nullopt;
  }
  return value;
}

// Nothing when the command line is wrong (the reason is already on standard error).
std::optional<Options> ParseOptions(int argc, char** argv) {
  enum { kId = 1, kSerial, kCount, kInterval, kGreeting, kRecord, kHelp };
  static const option kLongOptions[] = {
      {"id", required_argument, nullptr, kId},
      {"serial", required_argument, nullptr, kSerial},
      {"count", required_argument, nullptr, kCount},
      {"interval", required_argument, nullptr, kInterval},
      {"greeting", required_argument, nullptr, kGreeting},
      {"record", required_argument, nullptr, kRecord},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  Options options;
  int choice;
  while ((choice = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
    switch (choice) {
      case kId:
        if (const auto identifier = ParseIdentifier(optarg)) {
          options.identifier = *identifier;
          break;
        }
        std::fprintf(stderr, "%s: --id needs 24 hex digits\n", kProgram);
        return std::nullopt;
      case kSerial:
        options.serial = optarg;
        break;
      case kCount:
      case kInterval:
        if (const auto number = ParseNumber(optarg)) {
          if (choice == kCount) {
            options.count = *number;
          } else {
            options.interval = std::chrono::milliseconds(*number);
          }
          break;
        }
        std::fprintf(stderr, "%s: --%s needs a whole number\n", kProgram, choice == kCount ? "count" : "interval");
        return std::nullopt;
      case kGreeting:
        options.greeting = optarg;
        break;
      case kRecord:
        options.record = optarg;
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        std::exit(0);
      default:
        std::fputs(kUsage, stderr);
        return std::nullopt;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "%s: unexpected argument '%s'\n", kProgram, argv[optind]);
    return std::nullopt;
  }
  return options;
}

class VirtualDevice {
 public:
  explicit VirtualDevice(const Options& options)
      : options_(options),
        uhid_({"Tavrix Omrin M3 (virtual)", options.serial.value_or(FormatHex(options.identifier)),
               devlink::kVendorId, devlink::kProductId},
              ReportDescriptor()),
        signals_(OpenSignals()),
        series_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {
    if (series_ < 0) {
      throw std::system_error(errno, std::generic_category(), "timerfd_create");
    }
    if (options.record) {
      record_.reset(std::fopen(options.record->c_str(), "w"));
      if (!record_) {
        throw std::system_error(errno, std::generic_category(), "cannot write " + *options.record);
      }
    }
  }

  ~VirtualDevice() {
    close(series_);
    close(signals_);
  }
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // Serves the device until its input has ended and every line is sent, or a signal comes.
  void Run() {
    while (!signalled_ && !(input_ended_ && held_.empty() && sent_in_series_ == options_.count)) {
      pollfd fds[] = {
          {uhid_.Descriptor(), POLLIN, 0},
          {signals_, POLLIN, 0},
          {series_, POLLIN, 0},
          {input_ended_ ? -1 : STDIN_FILENO, POLLIN, 0},
      };
      if (poll(fds, std::size(fds), -1) < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "poll");
      }
      if (fds[0].revents != 0) HandleKernelEvent();
      if (fds[1].revents != 0) signalled_ = true;
      if (fds[2].revents != 0) ContinueSeries();
      if (fds[3].revents != 0) ReadInput();
    }
  }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  static int OpenSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    const int fd = signalfd(-1, &set, SFD_CLOEXEC);
    if (fd < 0) {
      throw std::system_error(errno, std::generic_category(), "signalfd");
    }
    return fd;
  }

  void HandleKernelEvent() {
    const uhid_event event = uhid_.ReadEvent();
    switch (event.type) {
      case UHID_OPEN:
        if (!opened_) {
          opened_ = true;
          for (const devlink::ReportFrame& frame : held_) Send(frame);
          held_.clear();
          StartSeries();
        }
        break;
      case UHID_OUTPUT:
        HandleToolReport(std::span(event.u.output.data, event.u.output.size),
                         event.u.output.rtype == UHID_OUTPUT_REPORT);
        break;
      case UHID_GET_REPORT:
      case UHID_SET_REPORT:
        std::fprintf(stderr, "%s: the host asked for a %s report, which this device does not have\n", kProgram,
                     event.type == UHID_GET_REPORT ? "GET" : "SET");
        uhid_.RefuseRequest(event);
        break;
      default:
        break;
    }
  }

  void HandleToolReport(std::span<const std::uint8_t> report, bool output_report) {
    ++reports_received_;
    if (record_) {
      std::fprintf(record_.get(), "%s\n", FormatHex(report).c_str());
      std::fflush(record_.get());
    }
    ToolReport verdict = ReadToolReport(report);
    if (!output_report) {
      verdict.problems.insert(verdict.problems.begin(), "sent as a feature report, not an output report");
      verdict.identity_request = false;
    }
    for (const std::string& problem : verdict.problems) {
      std::fprintf(stderr, "%s: report %lu from the tool: %s\n", kProgram, reports_received_, problem.c_str());
    }
    if (verdict.identity_request) {
      Send(IdentityReplyFrame(options_.identifier));
      if (options_.greeting) {
        SendLine(*options_.greeting);
      }
    }
  }

  void StartSeries() {
    if (options_.count == 0) {
      return;
    }
    const auto interval = std::max(options_.interval, std::chrono::milliseconds(1));
    const timespec period{static_cast<time_t>(interval.count() / 1000), static_cast<long>(interval.count() % 1000) * 1000000};
    const itimerspec timer{period, period};
    timerfd_settime(series_, 0, &timer, nullptr);
  }

  void ContinueSeries() {
    std::uint64_t expirations = 0;
    if (read(series_, &expirations, sizeof expirations) != sizeof expirations) {
      return;
    }
    // One line per wake-up, however late: catching up would send a burst that a stalled host
    // (or an emulated one) never meant, and the lines would no longer be an interval apart.
    if (sent_in_series_ < options_.count) {
      SendLine("Log line " + std::to_string(++sent_in_series_));
    }
    if (sent_in_series_ == options_.count) {
      const itimerspec stopped{};
      timerfd_settime(series_, 0, &stopped, nullptr);
    }
  }

  void ReadInput() {
    char chunk[4096];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
      return;
    }
    if (got <= 0) {
      if (!pending_input_.empty()) {
        SendLine(pending_input_);
        pending_input_.clear();
      }
      input_ended_ = true;
      return;
    }
    pending_input_.append(chunk, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = pending_input_.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string_view line(pending_input_.data() + start, end - start);
      if (line.ends_with('\r')) {
        line.remove_suffix(1);
      }
      SendLine(line);
    }
    pending_input_.erase(0, start);
  }

  // Lines wait until the tool has opened the device: the kernel drops reports nobody reads.
  void SendLine(std::string_view utf8) {
    const devlink::ReportFrame frame = LogTextFrame(encoder_.Encode(utf8));
    if (opened_) {
      Send(frame);
    } else {
      held_.push_back(frame);
    }
  }

  void Send(const devlink::ReportFrame& frame) {
    if (!uhid_.SendInput(frame)) {
      std::fprintf(stderr, "%s: the kernel refused an input report\n", kProgram);
    }
  }

  const Options& options_;
  UhidDevice uhid_;
  const int signals_;
  const int series_;
  std::unique_ptr<std::FILE, FileCloser> record_;
  Cp1251Encoder encoder_;
  bool opened_ = false;
  bool input_ended_ = false;
  bool signalled_ = false;
  unsigned long sent_in_series_ = 0;
  unsigned long reports_received_ = 0;
  std::string pending_input_;
  std::vector<devlink::ReportFrame> held_;  // lines read before the first open
};

}  // namespace
}  // namespace vdev

int main(int argc, char** argv) {
  const auto options = vdev::ParseOptions(argc, argv);
  if (!options) {
    return 2;
  }
  try {
    vdev::VirtualDevice device(*options);
    device.Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", vdev::kProgram, error.what());
    return 1;
  }
  return 0;
}
