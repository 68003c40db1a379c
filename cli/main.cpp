// tavrix-zodivo-cli: the Tavrix Omrin M3 from scripts, terminals and machines with no display.
#include "HidPort.h"
#include "HotplugMonitor.h"
#include "Program.h"

int main(int argc, char** argv) {
  zodivo_cli::RunProgram(argc, argv, devlink::SystemHidPort(), [] { return devlink::SystemHotplugMonitor().release(); });
}
