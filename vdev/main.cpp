// tavrix-vdev: a virtual Tavrix Omrin M3, for trying and testing the tool without the hardware.
// It answers identity requests, turns its input lines (and, if asked, a counted series) into log
// lines, and unplugs itself at the end of its input, on a signal that ends it, or when it can no
// longer write its messages.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "VirtualDevice.h"

namespace vdev {
namespace {

constexpr char kUsage[] =
    "Usage: tavrix-vdev [OPTION]...\n"
    "Plugs in a virtual Tavrix Omrin M3 (USB HID 0483:5750); needs root. It answers every\n"
    "identity request with its identifier and sends each line of standard input as a log line\n"
    "(UTF-8 in, code page 1251 on the wire, at most 55 bytes; a line ends with LF, CR LF or CR);\n"
    "lines that come before the tool has opened it wait for that. At the end of its input it\n"
    "unplugs itself and exits: at once if the tool never opened it, else once every line is\n"
    "sent. A signal that would end it unplugs it at once: SIGINT, SIGTERM, SIGHUP, SIGQUIT and\n"
    "every other but SIGKILL and those of a crash (SIGSEGV, SIGABRT and the like). Reports that\n"
    "break the protocol are described on standard error.\n"
    "\n"
    "  --usb             a USB device on the kernel's virtual USB controller (modprobe dummy_hcd\n"
    "                    usb_f_hid), which the desktop user may open like the real device;\n"
    "                    without it, a HID device through /dev/uhid, which only root may open\n"
    "  --id HEX          the 12-byte identifier as 24 hex digits (default 544156524958000000000001)\n"
    "  --serial TEXT     the serial number the system lists: 1 to 63 printable ASCII characters,\n"
    "                    unused by any present device (default: the identifier in hex)\n"
    "  --count N         once opened, also send the log lines \"Log line 1\" .. \"Log line N\"\n"
    "  --interval MS     at least MS milliseconds between the lines of that series (default 100)\n"
    "  --greeting TEXT   a log line sent right after every identity reply\n"
    "  --record FILE     write every report received from the tool to FILE, one line of hex each\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

// What is wrong with a serial number, or nothing. The device's node is found by its serial, so
// it has to reach the host whole: the host keeps 63 bytes, and a control character would end
// the line that lists it.
std::string SerialProblem(std::string_view serial) {
  if (serial.empty()) return "must not be empty";
  if (serial.size() > kSerialLimit) {
    return "has " + std::to_string(serial.size()) + " bytes; the kernel keeps " + std::to_string(kSerialLimit);
  }
  if (!std::all_of(serial.begin(), serial.end(), [](char c) { return c >= ' ' && c <= '~'; })) {
    return "takes printable ASCII characters only";
  }
  return {};
}

std::optional<unsigned long> ParseNumber(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return std::nullopt;
  return value;
}

// Nothing when the command line is wrong (the reason is already on standard error).
std::optional<DeviceOptions> ParseOptions(int argc, char** argv) {
  enum { kUsb = 1, kId, kSerial, kCount, kInterval, kGreeting, kRecord, kHelp, kVersion };
  static const option kLongOptions[] = {
      {"usb", no_argument, nullptr, kUsb},
      {"id", required_argument, nullptr, kId},
      {"serial", required_argument, nullptr, kSerial},
      {"count", required_argument, nullptr, kCount},
      {"interval", required_argument, nullptr, kInterval},
      {"greeting", required_argument, nullptr, kGreeting},
      {"record", required_argument, nullptr, kRecord},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  DeviceOptions options;
  for (int choice; (choice = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1;) {
    switch (choice) {
      case kUsb:
        options.usb = true;
        break;
      case kId:
        if (const auto identifier = ParseIdentifier(optarg)) {
          options.identifier = *identifier;
          break;
        }
        std::fputs("tavrix-vdev: --id needs 24 hex digits\n", stderr);
        return std::nullopt;
      case kSerial:
        if (const std::string problem = SerialProblem(optarg); !problem.empty()) {
          std::fprintf(stderr, "tavrix-vdev: --serial %s\n", problem.c_str());
          return std::nullopt;
        }
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
        std::fprintf(stderr, "tavrix-vdev: --%s needs a whole number\n", choice == kCount ? "count" : "interval");
        return std::nullopt;
      case kGreeting:
        options.greeting = optarg;
        break;
      case kRecord:
        options.record = optarg;
        break;
      case kHelp:
      case kVersion:
        if (std::printf("%s", choice == kHelp ? kUsage : "tavrix-vdev " ZODIVO_VERSION "\n") < 0 ||
            std::fflush(stdout) != 0) {
          std::perror("tavrix-vdev: cannot write to standard output");
          std::exit(1);
        }
        std::exit(0);
      default:
        std::fputs(kUsage, stderr);
        return std::nullopt;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "tavrix-vdev: unexpected argument '%s'\n", argv[optind]);
    return std::nullopt;
  }
  return options;
}

// The signals that end a run: every one whose default ends the process and that comes from
// outside it, such as the terminal's Ctrl-C and Ctrl-\, its closing, kill, timers, limits and the
// real-time ones. They are taken in the poll loop, so that each unplugs the device before the
// process ends. Those of a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) are
// left alone: blocked, a real fault ends the process all the same. SIGPIPE is ignored.
Fd BlockedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int ending : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ,
                           SIGVTALRM, SIGPROF, SIGIO, SIGPWR}) {
    sigaddset(&set, ending);
  }
  for (int real_time = SIGRTMIN; real_time <= SIGRTMAX; ++real_time) sigaddset(&set, real_time);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  return Checked(signalfd(-1, &set, SFD_CLOEXEC), "signalfd");
}

// Splits standard input into lines for the device as it streams past: a line ends with LF, CR LF
// or a lone CR, and the last one may lack its end. Of each line only as much is kept as can fill
// a frame, so that memory stays bounded and every byte is looked at once, however long the line.
class LineReader {
 public:
  // False once the input has ended.
  bool ReadInto(VirtualDevice& device) {
    char chunk[65536];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (got <= 0) {
      if (!line_.empty()) device.SendLine(line_);
      return false;
    }
    for (std::string_view rest(chunk, static_cast<std::size_t>(got)); !rest.empty();) {
      if (std::exchange(after_cr_, false) && rest.front() == '\n') {
        rest.remove_prefix(1);
        continue;
      }
      const std::size_t end = rest.find_first_of("\r\n");
      line_.append(rest.substr(0, std::min(end, kKept - std::min(kKept, line_.size()))));
      if (end == std::string_view::npos) break;
      after_cr_ = rest[end] == '\r';
      device.SendLine(line_);
      line_.clear();
      rest.remove_prefix(end + 1);
    }
    return true;
  }

 private:
  // A UTF-8 character takes at most 4 bytes and becomes at least one byte of the code page, so
  // this much of a line fills a frame's text.
  static constexpr std::size_t kKept = 4 * devlink::kPayloadSize;
  std::string line_;
  bool after_cr_ = false;  // a CR ended the last line: an LF right after it is part of that end
};

// Serves the device until a signal comes or its input has ended: at once if the host never
// opened the device, else once everything is sent and has reached the host. A report that the
// host never collects is given up a second after the input has ended.
void Serve(VirtualDevice& device, const Fd& signals) {
  LineReader input;
  bool input_ended = false;
  while (true) {
    if (input_ended && !device.HostOpened()) return;
    const bool finishing = input_ended && device.Done();
    if (finishing && device.Delivered()) return;
    pollfd fds[] = {
        device.DevicePoll(),
        {signals.get(), POLLIN, 0},
        {device.SeriesTimer(), POLLIN, 0},
        {input_ended ? -1 : STDIN_FILENO, POLLIN, 0},
    };
    const int ready = poll(fds, std::size(fds), finishing ? 1000 : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw std::system_error(errno, std::generic_category(), "poll");
    if (ready == 0 || fds[1].revents != 0) return;
    if (fds[0].revents != 0) device.OnDevice(fds[0].revents);
    if (fds[2].revents != 0) device.OnSeriesTimer();
    if (fds[3].revents != 0) input_ended = !input.ReadInto(device);
  }
}

}  // namespace
}  // namespace vdev

int main(int argc, char** argv) {
  // A reader that went away is a write error, which ends the run as cleanly as a signal does.
  signal(SIGPIPE, SIG_IGN);
  const auto options = vdev::ParseOptions(argc, argv);
  if (!options) return 2;
  try {
    const vdev::Fd signals = vdev::BlockedSignals();
    vdev::VirtualDevice device(*options);
    vdev::Say("plugged in as " + device.Node());
    vdev::Serve(device, signals);
    device.Unplug();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tavrix-vdev: %s\n", error.what());
    return 1;
  }
  return 0;
}
