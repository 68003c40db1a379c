#include "VirtualDeviceProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::filesystem::path MakeDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vdev.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  return pattern;
}

}  // namespace

VirtualDeviceProcess::VirtualDeviceProcess(VirtualDeviceOptions options)
    : options_(std::move(options)), directory_(MakeDirectory()) {
  // A device that died early must fail the test, not kill it with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args = {TAVRIX_VDEV_PATH,  "--id",       options_.identifier,
                                   "--record",        (directory_ / "record").string(),
                                   "--count",         std::to_string(options_.count),
                                   "--interval",      std::to_string(options_.interval_ms)};
  if (options_.greeting) {
    args.insert(args.end(), {"--greeting", *options_.greeting});
  }
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return;
  }
  input_ = pipe_ends[1];
  const int complaints = open((directory_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = Spawn(args, {{STDIN_FILENO, pipe_ends[0]}, {STDERR_FILENO, complaints}});
  close(pipe_ends[0]);
  close(complaints);
  if (pid_ < 0) {
    ADD_FAILURE() << "cannot start " << args[0];
    return;
  }
  EXPECT_TRUE(WaitUntil([&] { return IsListed(Serial()) || WaitForExit(0ms); }) && !exit_status_)
      << "the virtual device did not appear; it said: " << Complaints();
}

VirtualDeviceProcess::~VirtualDeviceProcess() {
  if (pid_ > 0 && !exit_status_) {
    Terminate();
    if (!WaitForExit()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (input_ >= 0) close(input_);
  std::filesystem::remove_all(directory_);
}

void VirtualDeviceProcess::Send(std::string_view lines) {
  while (!lines.empty()) {
    const ssize_t written = write(input_, lines.data(), lines.size());
    ASSERT_GT(written, 0) << "the virtual device no longer takes input";
    lines.remove_prefix(static_cast<std::size_t>(written));
  }
}

void VirtualDeviceProcess::EndInput() {
  if (input_ >= 0) {
    close(input_);
    input_ = -1;
  }
}

void VirtualDeviceProcess::Terminate() {
  if (pid_ > 0 && !exit_status_) kill(pid_, SIGTERM);
}

std::optional<int> VirtualDeviceProcess::WaitForExit(std::chrono::milliseconds limit) {
  if (!exit_status_ && pid_ > 0) {
    exit_status_ = WaitForChild(pid_, limit);
  }
  return exit_status_;
}

bool VirtualDeviceProcess::Unplug() {
  EndInput();
  return WaitForExit() == 0;
}

std::vector<std::string> VirtualDeviceProcess::RecordedReports() const {
  std::istringstream text(ReadFile(directory_ / "record"));
  std::vector<std::string> reports;
  for (std::string line; std::getline(text, line);) reports.push_back(line);
  return reports;
}

std::string VirtualDeviceProcess::Complaints() const { return ReadFile(directory_ / "stderr"); }

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::pair<int, int>>& redirects) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [child, ours] : redirects) posix_spawn_file_actions_adddup2(&actions, ours, child);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

std::optional<int> WaitForChild(pid_t pid, std::chrono::milliseconds limit) {
  std::optional<int> exit_status;
  WaitUntil(
      [&] {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
          exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exit_status.has_value();
      },
      limit);
  return exit_status;
}

bool IsListed(const std::string& serial) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
    const std::string uevent = ReadFile(entry.path() / "device" / "uevent");
    if (uevent.find("HID_UNIQ=" + serial + "\n") != std::string::npos &&
        std::filesystem::exists("/dev" / entry.path().filename())) {
      return true;
    }
  }
  return false;
}

int OpenDescriptorCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds)));
}

int OpenHidrawCount() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string().starts_with("/dev/hidraw")) ++count;
  }
  return count;
}

}  // namespace e2e
