// The command line of tavrix-zodivo-cli: one command and its options.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "Connection.h"
#include "LinePattern.h"

namespace zodivo_cli {

struct CliOptions {
  enum class Command { kList, kId, kMonitor };
  Command command = Command::kList;
  devlink::UnitChoice unit;  // --unit NODE|SERIAL
  bool json = false;
  bool watch = false;        // list: go on with every unit that comes or goes
  bool new_unit = false;     // id: the next unit plugged in
  bool each = false;         // id: every unit plugged in from now on, until stopped
  bool all = false;          // monitor: every unit
  bool reconnect = false;    // monitor
  bool timestamps = false;   // monitor
  bool journal = false;      // monitor: into the system journal
  bool raw = false;          // monitor: every report, with what was made of it
  // id: how long to wait for the answer; monitor: how long before it ends with status 124.
  std::optional<std::chrono::microseconds> timeout;
  std::vector<std::shared_ptr<const LinePattern>> until;    // monitor: end with 0 at a match
  std::vector<std::shared_ptr<const LinePattern>> fail_on;  // monitor: end with 3 at a match
};

// id waits this long for the answer unless told otherwise.
inline constexpr std::chrono::seconds kDefaultIdTimeout{2};

// Nothing when the command line is wrong, after one line on standard error saying what is wrong;
// --help and --version are answered here and end the process.
std::optional<CliOptions> ParseCliOptions(int argc, char** argv);

}  // namespace zodivo_cli
