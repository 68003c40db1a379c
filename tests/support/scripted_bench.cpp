// tavrix-zodivo-cli on a bench of scripted units, for the tests that need the program as a process
// and for the pytest plugin's. Every copy of it follows the file that SCRIPTED_BENCH names, to which
// a test appends commands, one a line: "plug N", "unplug N", "send N TEXT", and "stream N TEXT",
// which sends the line without end. Unit N is /dev/hidraw-N and answers with the identifier
// 5441 0000… N. A copy started later finds the bench as the plugs and unplugs before it left it;
// it takes the lines sent from then on, as a unit's log reaches only those who have it open.
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <thread>

#include "FakeHidPort.h"
#include "Program.h"
#include "Read_tr.h"

// Carries out the commands appended to `file` since the last call; false when there are none.
static bool Run(devlink::testing::FakeHidPort& port, int file, bool sends) {
  static std::string pending;
  char chunk[4096];
  const ssize_t got = read(file, chunk, sizeof chunk);
  pending.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
    const std::string command = pending.substr(0, end);
    char verb[8];
    int unit = 0, text = 0;
    if (std::sscanf(command.c_str(), "%7s %d %n", verb, &unit, &text) < 2) continue;
    const std::string path = "/dev/hidraw-" + std::to_string(unit), what = verb;
    port.SetIdentity(path, {0x54, 0x41, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(unit)});
    if (what == "plug") port.Plug(path);
    if (what == "unplug") port.Unplug(path);
    const auto line = std::span(reinterpret_cast<const std::uint8_t*>(command.data()) + text, command.size() - text);
    const devlink::ReportFrame frame = devlink::BuildIncomingFrame(devlink::kLogText, line);
    if (what == "send" && sends) port.Send(frame, path);
    if (what == "stream") {
      std::thread([&port, frame, path] {
        devlink::BlockAsynchronousSignals();
        for (;; std::this_thread::sleep_for(std::chrono::microseconds(100))) port.Send(frame, path);
      }).detach();
    }
  }
  return got > 0;
}

int main(int argc, char** argv) {
  zodivo_cli::GuardStandardDescriptors();
  const char* name = std::getenv("SCRIPTED_BENCH");
  const int changes = inotify_init1(IN_CLOEXEC);
  // Watched before the first read, so that nothing appended after it goes unnoticed.
  if (name == nullptr || inotify_add_watch(changes, name, IN_MODIFY) < 0) {
    std::fprintf(stderr, "scripted_bench: SCRIPTED_BENCH must name the bench's command file\n");
    return 2;
  }
  auto* port = new devlink::testing::FakeHidPort;
  const int file = open(name, O_RDONLY | O_CLOEXEC);
  while (Run(*port, file, false)) continue;
  std::thread([port, file, changes] {
    devlink::BlockAsynchronousSignals();
    for (char event[sizeof(inotify_event) + NAME_MAX + 1]; read(changes, event, sizeof event) > 0;) {
      while (Run(*port, file, true)) continue;
    }
  }).detach();
  zodivo_cli::RunProgram(argc, argv, *port, [port] { return port; });
}
