// The three commands of tavrix-zodivo-cli, each on a fleet of units and a printer; each returns
// the program's exit status. The fleet's readers make every call into an open unit.
#pragma once

#include <stop_token>

#include "CliOptions.h"
#include "EventPrinter.h"
#include "UnitFleet.h"

namespace zodivo_cli {

// The fleet that the command needs: whether it watches units come and go, and which units the
// fleet follows by itself.
devlink::FleetOptions FleetFor(const CliOptions& options);

// Each runs until it has its answer, until `stop` is requested, or until its output fails.
int RunList(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop);
int RunId(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop);
int RunMonitor(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop);

}  // namespace zodivo_cli
