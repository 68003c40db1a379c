// tavrix-vdev: a virtual Tavrix Omrin M3, for trying and testing the tool without the hardware.
// It answers identity requests, turns its input lines (and, if asked, a counted series) into log
// lines, and unplugs itself at the end of its input or on a signal.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <system_error>

#include "VirtualDevice.h"

namespace vdev {
namespace {

constexpr char kUsage[] =
    "Usage: tavrix-vdev [OPTION]...\n"
    "Plugs in a virtual Tavrix Omrin M3 (USB HID 0483:5750); needs root. It answers every\n"
    "identity request with its identifier and sends each line of standard input as a log line\n"
    "(UTF-8 in, code page 1251 on the wire, at most 55 bytes); lines that come before the tool\n"
    "has opened it wait for that. It unplugs itself and exits once its input has ended and every\n"
    "line is sent, or on SIGINT or SIGTERM. Reports that break the protocol are described on\n"
    "standard error.\n"
    "\n"
    "  --usb             a USB device on the kernel's virtual USB controller (modprobe dummy_hcd\n"
    "                    usb_f_hid), which the desktop user may open like the real device;\n"
    "                    without it, a HID device through /dev/uhid, which only root may open\n"
    "  --id HEX          the 12-byte identifier as 24 hex digits (default 544156524958000000000001)\n"
    "  --serial TEXT     the serial number the system lists (default: the identifier in hex)\n"
    "  --count N         once opened, also send the log lines \"Log line 1\" .. \"Log line N\"\n"
    "  --interval MS     at least MS milliseconds between the lines of that series (default 100)\n"
    "  --greeting TEXT   a log line sent right after every identity reply\n"
    "  --record FILE     write every report received from the tool to FILE, one line of hex each\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

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
        std::fputs(kUsage, stdout);
        std::exit(0);
      case kVersion:
        std::printf("tavrix-vdev %s\n", ZODIVO_VERSION);
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

Fd BlockedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  return Checked(signalfd(-1, &set, SFD_CLOEXEC), "signalfd");
}

// Splits standard input into lines for the device; the last line may lack its newline.
class LineReader {
 public:
  // False once the input has ended.
  bool ReadInto(VirtualDevice& device) {
    char chunk[4096];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) {
      if (!pending_.empty()) device.SendLine(pending_);
      return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string_view line(pending_.data() + start, end - start);
      if (line.ends_with('\r')) line.remove_suffix(1);
      device.SendLine(line);
    }
    pending_.erase(0, start);
    return true;
  }

 private:
  std::string pending_;
};

// Serves the device until its input has ended and everything is sent, or a signal comes. A
// report that the host never collects is given up a second after the input has ended.
void Serve(VirtualDevice& device, const Fd& signals) {
  LineReader input;
  bool input_ended = false;
  while (true) {
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
  const auto options = vdev::ParseOptions(argc, argv);
  if (!options) return 2;
  try {
    const vdev::Fd signals = vdev::BlockedSignals();
    vdev::VirtualDevice device(*options);
    std::fprintf(stderr, "tavrix-vdev: plugged in as %s\n", device.Node().c_str());
    vdev::Serve(device, signals);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tavrix-vdev: %s\n", error.what());
    return 1;
  }
  return 0;
}
