// Runs tavrix-vdev as a child process: plugging it in, feeding it log lines, pulling it out, and
// reading back what the tool wrote to it and what it complained about.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

struct VirtualDeviceOptions {
  std::string identifier = "544156524958000000000001";  // 24 hex digits; also the serial number
  unsigned count = 0;                                   // a series of "Log line N" once opened
  unsigned interval_ms = 1;
  std::optional<std::string> greeting{};  // a log line right after every identity reply
};

class VirtualDeviceProcess {
 public:
  // Starts the device and waits until the system lists it; fails the test when it does not.
  explicit VirtualDeviceProcess(VirtualDeviceOptions options = {});
  // Pulls the device out if it is still in.
  ~VirtualDeviceProcess();
  VirtualDeviceProcess(const VirtualDeviceProcess&) = delete;
  VirtualDeviceProcess& operator=(const VirtualDeviceProcess&) = delete;

  const std::string& Serial() const { return options_.identifier; }

  // Text for the device to send as log lines, one per '\n'; sent once the tool has opened it.
  void Send(std::string_view lines);
  // Ends the device's input: it sends what is left, unplugs itself and exits.
  void EndInput();
  // The other way to pull it out: SIGTERM.
  void Terminate();
  // The exit status once the process has ended, or nothing if it is still running after `limit`.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit = 5s);
  // EndInput, then waits for the exit; true when it exited with status 0.
  bool Unplug();

  // Every report the tool wrote to the device, in upper-case hex, in order.
  std::vector<std::string> RecordedReports() const;
  // What the device wrote to its standard error: protocol problems, refused reports.
  std::string Complaints() const;

 private:
  VirtualDeviceOptions options_;
  std::filesystem::path directory_;
  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> exit_status_;
};

// Polls `done` every millisecond until it holds or `limit` has passed; returns its last value.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return done();
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Starts `argv` with each (child descriptor, our descriptor) pair of `redirects` in place; -1 when
// it could not be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::pair<int, int>>& redirects = {});
// The child's exit status (128 + signal when killed) once it has ended, or nothing if it is still
// running after `limit`.
std::optional<int> WaitForChild(pid_t pid, std::chrono::milliseconds limit);

// Whether a hidraw node exists for the device with this serial number (its HID unique string).
bool IsListed(const std::string& serial);

// Open descriptors of this process, in all and on hidraw nodes.
int OpenDescriptorCount();
int OpenHidrawCount();

}  // namespace e2e
