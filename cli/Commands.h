// The three commands of tavrix-zodivo-cli, each on a HID port and a printer; each returns the
// program's exit status. The link's reader makes every call into an open unit.
#pragma once

#include <stop_token>

#include "CliOptions.h"
#include "EventPrinter.h"
#include "HidPort.h"

namespace zodivo_cli {

int RunList(devlink::HidPort& port, const CliOptions& options, EventPrinter& print);
int RunId(devlink::HidPort& port, const CliOptions& options, EventPrinter& print);
// Until `stop` is requested, or the unit is lost without --reconnect.
int RunMonitor(devlink::HidPort& port, const CliOptions& options, EventPrinter& print, std::stop_token stop);

}  // namespace zodivo_cli
