// tavrix-zodivo-cli on one scripted unit that answers identity requests, for the tests that need
// the program as a process. SCRIPTED_RECORD names a file that gets one line of hex for every
// report written to the unit; with SCRIPTED_STREAM set, the unit sends log lines without end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "FakeHidPort.h"
#include "Program.h"
#include "Read_tr.h"

namespace {

class RecordingPort : public devlink::testing::FakeHidPort {
 public:
  explicit RecordingPort(const char* record)
      : record_(record != nullptr ? open(record, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1) {}

  int SendReport(const std::string& path, const std::uint8_t* data, std::size_t length) override {
    const std::string line = devlink::FormatHex(std::span(data, length)) + '\n';
    if (record_ >= 0) (void)!write(record_, line.data(), line.size());
    return FakeHidPort::SendReport(path, data, length);
  }

 private:
  const int record_;
};

}  // namespace

int main(int argc, char** argv) {
  zodivo_cli::GuardStandardDescriptors();
  auto* port = new RecordingPort(std::getenv("SCRIPTED_RECORD"));
  port->Plug();
  port->SetIdentity(RecordingPort::kUnit, std::array<std::uint8_t, devlink::kIdentitySize>{0x0A});
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
