// tavrix-zodivo-cli as a whole, on a given HID port, so that tests run the very program on a
// scripted one.
#pragma once

#include <functional>

#include "HidPort.h"
#include "HotplugMonitor.h"

namespace zodivo_cli {

// Puts /dev/null, open for reading only, on any of descriptors 0-2 that is closed, so that no
// device or file opened later takes its place and receives what is meant for standard output;
// writing to a closed standard output then fails, as it would have.
void GuardStandardDescriptors();

// Runs the command line and ends the process with its status. `units` is called once, before the
// units are listed, for what the system knows of them.
[[noreturn]] void RunProgram(int argc, char** argv, devlink::HidPort& port,
                             const std::function<devlink::HotplugMonitor*()>& units);

}  // namespace zodivo_cli
