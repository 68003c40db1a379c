// tavrix-zodivo-cli on one scripted unit that answers identity requests, for the tests that need
// the program as a process. With SCRIPTED_STREAM set, the unit sends log lines without end.
#include <cstdlib>
#include <thread>

#include "FakeHidPort.h"
#include "Program.h"
#include "Read_tr.h"

int main(int argc, char** argv) {
  zodivo_cli::GuardStandardDescriptors();
  auto* port = new devlink::testing::FakeHidPort;
  port->Plug();
  port->SetIdentity(port->kUnit, std::array<std::uint8_t, devlink::kIdentitySize>{0x0A});
  if (std::getenv("SCRIPTED_STREAM") != nullptr) {
    std::thread([port] {
      devlink::BlockAsynchronousSignals();
      const auto line = devlink::BuildIncomingFrame(devlink::kLogText, std::array<std::uint8_t, 4>{'l', 'i', 'n', 'e'});
      while (true) {
        port->Send(line);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }).detach();
  }
  zodivo_cli::RunProgram(argc, argv, *port, [port] { return port; });
}
