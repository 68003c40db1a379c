#include <cstdio>
#include <cstring>

#include "Application.h"
#include "HidPort.h"

namespace {

constexpr char kUsage[] =
    "Usage: tavrix-zodivo [OPTION]...\n"
    "Opens the bench window for the Tavrix Omrin M3 USB device. CONNECT opens the device and\n"
    "shows its 12-byte unique identifier; the log lines the device sends follow in the log view,\n"
    "which PAUSE / RESUME LOG holds. The user at the local seat may open the device through the\n"
    "installed udev rule; elsewhere the tool needs root.\n"
    "\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Qt's standard options, such as -platform and -style, are taken as well.\n";

}  // namespace

int main(int argc, char* argv[]) {
  // Answered before the application exists, since that needs a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tavrix-zodivo %s\n", ZODIVO_VERSION);
      return 0;
    }
  }
  // Never destroyed: the program ends inside RunAndExit.
  auto* app = new zodivo::Application(argc, argv);
  zodivo::RunAndExit(*app, devlink::SystemHidPort());
}
