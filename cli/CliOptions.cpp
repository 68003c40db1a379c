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
    "                 answer within a second of taking the request), separated by tabs; a unit\n"
    "                 that holds its request up (for up to the kernel's 5 s) delays the list by\n"
    "                 that, but not the other units' answers\n"
    "  id             the unit's identifier, 24 upper-case hex digits\n"
    "  monitor        every log line the unit sends, one line each, until interrupted; connects,\n"
    "                 identity replies and losses are told on standard error\n"
    "\n"
    "Options:\n"
    "  --unit UNIT    the unit with this node (/dev/hidrawN, or a link to it) or serial number;\n"
    "                 without it, the first unit listed\n"
    "  --json         JSON Lines on standard output, one object per event (see below)\n"
    "  --timeout SEC  id: how long to wait for the answer, counted from the start (default 2);\n"
    "                 a unit that has not taken the request by then has not answered\n"
    "                 monitor: end with status 124 if nothing else ended it within SEC\n"
    "  -h, --help     show this text and exit\n"
    "  --version      show the version and exit\n"
    "list:\n"
    "  --watch        then one line for each unit that comes (asked as above) or goes\n"
    "                 (its node, a tab, \"gone\"), until interrupted\n"
    "id:\n"
    "  --new          the next unit plugged in, not one already there\n"
    "  --each         every unit plugged in from now on, one line each as it answers, until\n"
    "                 interrupted; --timeout is then the wait for each unit's answer\n"
    "monitor:\n"
    "  --all          every unit, those plugged in now and later, each line starting with its\n"
    "                 unit's identifier (its node until the unit has answered)\n"
    "  --reconnect    after a loss, wait for the same unit and go on: the one with the same\n"
    "                 serial number, or, where it has none or shares it, the same identifier\n"
    "  --timestamps   start each line with the local time at which it arrived\n"
    "  --until RE     end with status 0 after the first log line that matches RE\n"
    "  --fail-on RE   end with status 3 after the first log line that matches RE; may be given\n"
    "                 more than once. RE is a POSIX extended regular expression, as for grep -E\n"
    "  --raw          every report the unit sends, valid or not: its 64 bytes in hex, then what\n"
    "                 was made of it or why it was ignored\n"
    "  --journal      write every event to the system journal instead of standard output\n"
    "\n"
    "JSON events: one object per line, each with \"time\" (a string: the local time, ISO 8601)\n"
    "and \"event\" (a string), then these fields, each a string unless it says null:\n"
    "  log            unit, identifier (null until the unit has answered), text\n"
    "  identity       unit, identifier\n"
    "  connected      unit, serial (null if none), bus (\"usb\" or \"virtual\")\n"
    "  lost           unit\n"
    "  dropped        unit, identifier (null until the unit has answered), count (a number): the\n"
    "                 unit's lines dropped while the output was held up, as each unit may have\n"
    "                 1 MiB waiting\n"
    "  report         unit, hex, verdict (monitor --raw)\n"
    "  unit           unit, serial (null if none), bus, identifier (null if it did not\n"
    "                 answer) (list)\n"
    "  gone           unit (list --watch)\n"
    "\n"
    "Exit status:\n"
    "  0    success, and list with no unit; monitor and list --watch when ended by SIGINT,\n"
    "       SIGTERM or SIGHUP or when the reader of standard output goes away; monitor --until;\n"
    "       monitor --journal when the unit goes\n"
    "  1    no unit, it cannot be opened, it does not answer, monitor lost it without\n"
    "       --reconnect or --journal, or the output cannot be written\n"
    "  2    a wrong command line\n"
    "  3    monitor --fail-on matched\n"
    "  124  monitor --timeout passed\n";

constexpr char kProgram[] = "tavrix-zodivo-cli";

enum : int {
  kUnit = 1000, kTimeout, kReconnect, kTimestamps, kJson, kWatch, kNew, kEach, kAll, kUntil, kFailOn, kRaw, kJournal,
  kVersion,
  kHelp = 'h'
};

const option kLongOptions[] = {
    {"unit", required_argument, nullptr, kUnit},
    {"timeout", required_argument, nullptr, kTimeout},
    {"reconnect", no_argument, nullptr, kReconnect},
    {"timestamps", no_argument, nullptr, kTimestamps},
    {"json", no_argument, nullptr, kJson},
    {"watch", no_argument, nullptr, kWatch},
    {"new", no_argument, nullptr, kNew},
    {"each", no_argument, nullptr, kEach},
    {"all", no_argument, nullptr, kAll},
    {"until", required_argument, nullptr, kUntil},
    {"fail-on", required_argument, nullptr, kFailOn},
    {"raw", no_argument, nullptr, kRaw},
    {"journal", no_argument, nullptr, kJournal},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

std::nullopt_t Wrong(const std::string& what) {
  std::fprintf(stderr, "%s: %s (see %s --help)\n", kProgram, what.c_str(), kProgram);
  return std::nullopt;
}

[[noreturn]] void Answer(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(errno));
    std::exit(1);
  }
  std::exit(0);
}

// How the user wrote the option that getopt_long returned as `value`.
std::string Spelling(int value) {
  for (const option& known : kLongOptions) {
    if (known.name != nullptr && known.val == value) return std::string("--") + known.name;
  }
  return std::string("-") + static_cast<char>(value);
}

// getopt_long tells an abbreviation that fits several options as it tells an unknown one.
std::string UnknownLongOption(const std::string& word) {
  const std::string name = word.substr(2, word.find('=') - 2);
  std::string fits;
  for (const option& known : kLongOptions) {
    if (known.name != nullptr && std::string_view(known.name).starts_with(name)) fits += std::string(", --") + known.name;
  }
  if (name.empty() || fits.empty()) return "unknown option '" + word + "'";
  return "option '--" + name + "' is ambiguous: it may be " + fits.substr(2);
}

bool ParseTimeout(const char* text, std::optional<std::chrono::microseconds>& timeout) {
  // Rigs run for days: up to ten years, far beyond anything a slip of the keyboard would want.
  constexpr double kLongest = 10 * 366 * 86400.0;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > kLongest) {
    Wrong(std::string("--timeout needs a number of seconds above 0 and at most 316224000 (ten years), not '") + text +
          "'");
    return false;
  }
  // Rounded up: a wait asked for is never cut to nothing.
  timeout = std::chrono::microseconds(static_cast<long long>(std::ceil(seconds * 1e6)));
  return true;
}

bool AddPattern(const char* expression, std::vector<std::shared_ptr<const LinePattern>>& patterns) {
  std::string error;
  auto pattern = LinePattern::Compile(expression, error);
  if (!pattern) {
    Wrong(std::string("bad regular expression '") + expression + "': " + error);
    return false;
  }
  patterns.push_back(std::move(pattern));
  return true;
}

}  // namespace

std::optional<CliOptions> ParseCliOptions(int argc, char** argv) {
  CliOptions options;
  std::vector<int> given;
  opterr = 0;  // the one line of our own says what is wrong
  for (int choice; (choice = getopt_long(argc, argv, ":h", kLongOptions, nullptr)) != -1;) {
    given.push_back(choice);
    switch (choice) {
      case kUnit:
        if (*optarg == '\0') return Wrong("--unit needs a node or a serial number");
        options.unit = devlink::UnitChoice::Named(optarg);
        break;
      case kTimeout:
        if (!ParseTimeout(optarg, options.timeout)) return std::nullopt;
        break;
      case kUntil:
        if (!AddPattern(optarg, options.until)) return std::nullopt;
        break;
      case kFailOn:
        if (!AddPattern(optarg, options.fail_on)) return std::nullopt;
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
      case kWatch:
        options.watch = true;
        break;
      case kNew:
        options.new_unit = true;
        break;
      case kEach:
        options.each = true;
        break;
      case kAll:
        options.all = true;
        break;
      case kRaw:
        options.raw = true;
        break;
      case kJournal:
        options.journal = true;
        break;
      case kHelp:
        Answer(kUsage);
      case kVersion:
        Answer("tavrix-zodivo-cli " ZODIVO_VERSION "\n");
      case ':':
        return Wrong(Spelling(optopt) + " needs a value");
      default:
        // An option that takes no value but was given one comes back with its own value in optopt;
        // an unknown short option with its letter; an unknown long one with 0.
        if (optopt >= kUnit) return Wrong(Spelling(optopt) + " takes no value");
        if (optopt != 0) return Wrong(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
        return Wrong(UnknownLongOption(argv[optind - 1]));
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
  // Which commands take each option.
  const auto command_bit = 1u << static_cast<unsigned>(options.command);
  constexpr unsigned kList = 1u << static_cast<unsigned>(CliOptions::Command::kList);
  constexpr unsigned kId = 1u << static_cast<unsigned>(CliOptions::Command::kId);
  constexpr unsigned kMonitor = 1u << static_cast<unsigned>(CliOptions::Command::kMonitor);
  for (const int option : given) {
    unsigned takers = kList | kId | kMonitor;
    switch (option) {
      case kWatch:
        takers = kList;
        break;
      case kNew:
      case kEach:
        takers = kId;
        break;
      case kTimeout:
        takers = kId | kMonitor;
        break;
      case kAll:
      case kReconnect:
      case kTimestamps:
      case kUntil:
      case kFailOn:
      case kRaw:
      case kJournal:
        takers = kMonitor;
        break;
    }
    if ((takers & command_bit) == 0) return Wrong(Spelling(option) + " is not for " + command);
  }
  if (options.all && !options.unit.name.empty()) return Wrong("--all and --unit exclude each other");
  if (options.journal && options.json) return Wrong("--journal and --json exclude each other");
  if (options.new_unit && !options.unit.name.empty()) return Wrong("--new and --unit exclude each other");
  if (options.each && !options.unit.name.empty()) return Wrong("--each and --unit exclude each other");
  if (options.each && options.new_unit) return Wrong("--each and --new exclude each other");
  return options;
}

}  // namespace zodivo_cli
