// The command line of tavrix-zodivo-cli: one command and its options.
#pragma once

#include <chrono>
#include <optional>

#include "Connection.h"

namespace zodivo_cli {

struct CliOptions {
  enum class Command { kList, kId, kMonitor };
  Command command = Command::kList;
  devlink::UnitChoice unit;  // --unit NODE|SERIAL
  bool json = false;
  bool reconnect = false;   // monitor only
  bool timestamps = false;  // monitor only
  std::chrono::milliseconds timeout{2000};  // id only
};

// Nothing when the command line is wrong, after one line on standard error saying what is wrong;
// --help and --version are answered here and end the process.
std::optional<CliOptions> ParseCliOptions(int argc, char** argv);

}  // namespace zodivo_cli
