#include "CliOptions.h"

#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zodivo_cli {
namespace {

constexpr char kUsage[] =
    "Usage: tavrix-zodivo-cli COMMAND [OPTION]...\n"
    "Reads the Tavrix Omrin M3 USB device from scripts and terminals: its 12-byte unique identifier\n"
    "and the log lines it sends. Data goes to standard output, everything else to standard error.\n"
    "\n"
    "Commands:\n"
    "  list           one line per unit, in the order the tool picks them: its node, its serial\n"
    "                 number (- if none), usb or virtual, and its identifier (? if it does not\n"
    "                 answer within a second), separated by tabs\n"
    "  id             the unit's identifier, 24 upper-case hex digits\n"
    "  monitor        every log line the unit sends, one line each, until interrupted; connects,\n"
    "                 identity replies and losses are told on standard error\n"
    "\n"
    "Options:\n"
    "  --unit UNIT    the unit with this node (/dev/hidrawN) or serial number; without it, the\n"
    "                 first unit listed\n"
    "  --timeout SEC  id: how long to wait for the unit's answer (default 2)\n"
    "  --reconnect    monitor: after a loss, wait for the unit to come back and go on\n"
    "  --timestamps   monitor: start each line with the local time at which it arrived\n"
    "  --json         JSON Lines on standard output, one object per event\n"
    "  --help         show this text and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Exit status: 0 on success, and for monitor when ended by SIGINT, SIGTERM or SIGHUP; 1 when\n"
    "there is no unit, it cannot be opened, it does not answer, or monitor loses it without\n"
    "--reconnect; 2 for a wrong command line.\n";

std::nullopt_t Wrong(const std::string& what) {
  std::fprintf(stderr, "tavrix-zodivo-cli: %s (see tavrix-zodivo-cli --help)\n", what.c_str());
  return std::nullopt;
}

[[noreturn]] void Answer(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    std::perror("tavrix-zodivo-cli: cannot write to standard output");
    std::exit(1);
  }
  std::exit(0);
}

bool ParseTimeout(const char* text, std::chrono::milliseconds& timeout) {
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  // A day at most: anything longer is a slip of the keyboard.
  if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
    Wrong(std::string("--timeout needs a number of seconds, not '") + text + "'");
    return false;
  }
  timeout = std::chrono::milliseconds(std::llround(seconds * 1000));
  return true;
}

}  // namespace

std::optional<CliOptions> ParseCliOptions(int argc, char** argv) {
  enum { kUnit = 1, kTimeout, kReconnect, kTimestamps, kJson, kHelp, kVersion };
  static const option kLongOptions[] = {
      {"unit", required_argument, nullptr, kUnit},
      {"timeout", required_argument, nullptr, kTimeout},
      {"reconnect", no_argument, nullptr, kReconnect},
      {"timestamps", no_argument, nullptr, kTimestamps},
      {"json", no_argument, nullptr, kJson},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  CliOptions options;
  bool timeout_given = false;
  opterr = 0;  // the one line of our own says what is wrong
  for (int choice; (choice = getopt_long(argc, argv, ":", kLongOptions, nullptr)) != -1;) {
    switch (choice) {
      case kUnit:
        if (*optarg == '\0') return Wrong("--unit needs a node or a serial number");
        options.unit.name = optarg;
        break;
      case kTimeout:
        if (!ParseTimeout(optarg, options.timeout)) return std::nullopt;
        timeout_given = true;
        break;
      case kReconnect:
        options.reconnect = true;
        break;
      case kTimestamps:
        options.timestamps = true;
        break;
      case kJson:
        options.json = true;
        break;
      case kHelp:
        Answer(kUsage);
      case kVersion:
        Answer("tavrix-zodivo-cli " ZODIVO_VERSION "\n");
      case ':':
        return Wrong(std::string(argv[optind - 1]) + " needs a value");
      default:
        return Wrong(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind == argc) return Wrong("no command given: list, id or monitor");
  if (optind + 1 < argc) return Wrong(std::string("unexpected argument '") + argv[optind + 1] + "'");
  const std::string command = argv[optind];
  if (command == "list") {
    options.command = CliOptions::Command::kList;
  } else if (command == "id") {
    options.command = CliOptions::Command::kId;
  } else if (command == "monitor") {
    options.command = CliOptions::Command::kMonitor;
  } else {
    return Wrong("unknown command '" + command + "': list, id or monitor");
  }
  const bool monitor = options.command == CliOptions::Command::kMonitor;
  if (!monitor && (options.reconnect || options.timestamps)) {
    return Wrong(std::string(options.reconnect ? "--reconnect" : "--timestamps") + " is for monitor only");
  }
  if (timeout_given && options.command != CliOptions::Command::kId) {
    return Wrong("--timeout is for id only");
  }
  return options;
}

}  // namespace zodivo_cli
