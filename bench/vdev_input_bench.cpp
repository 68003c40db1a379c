// Figures for the virtual device's standard input, run in the test guest as root
// (`guest/run-in-guest build/test/guest build/test/bench/vdev_input_bench [TAVRIX_VDEV]`): one
// line of 8, 16 and 32 MiB with no line end, piped into tavrix-vdev on uhid, which no host
// opens. Prints the time from the first byte written to the program's exit, and the program's
// peak resident memory next to that of a run with empty input.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Runs `vdev` with `mib` MiB of one unended line on its standard input; false if it failed.
bool Run(const char* vdev, std::size_t mib) {
  int input[2], messages[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(messages, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    dup2(input[0], STDIN_FILENO);
    dup2(messages[1], STDERR_FILENO);
    execl(vdev, vdev, "--serial", "INPUTBENCH", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  close(messages[1]);
  std::FILE* said = fdopen(messages[0], "r");
  char line[256] = {};
  if (std::fgets(line, sizeof line, said) == nullptr || std::strstr(line, "plugged in") == nullptr) {
    std::fprintf(stderr, "vdev_input_bench: %s did not plug in: %s", vdev, line);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::vector<char> chunk(1 << 16, 'x');
  for (std::size_t left = mib << 20; left > 0; left -= chunk.size()) {
    if (write(input[1], chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return false;
  }
  close(input[1]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(said);
  std::printf("%2zu MiB line: %6.3f s from the first byte to the exit (status %d), peak resident %5.1f MiB\n", mib,
              seconds, WEXITSTATUS(status), static_cast<double>(usage.ru_maxrss) / 1024.0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* vdev = argc > 1 ? argv[1] : VDEV_BINARY;
  for (const std::size_t mib : {0, 8, 16, 32}) {
    if (!Run(vdev, mib)) return 1;
  }
}
