// The running program as a whole: CPU use while idle with no device open, and the time from
// starting it to its window being mapped on an X server (a private Xvfb).
#include <benchmark/benchmark.h>

#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

pid_t Spawn(const std::vector<std::string>& command, const std::vector<std::string>& extra_environment) {
  std::vector<std::string> environment = extra_environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  std::vector<char*> args, envp;
  for (const auto& arg : command) args.push_back(const_cast<char*>(arg.c_str()));
  for (const auto& var : environment) envp.push_back(const_cast<char*>(var.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) return -1;
  return pid;
}

void Stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// User plus system CPU time of a process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // Fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) user = std::stoull(field);
    if (index == 15) {
      system = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void BM_IdleCpuWithoutDevice(benchmark::State& state) {
  for (auto _ : state) {
    const pid_t pid = Spawn({ZODIVO_BINARY}, {"QT_QPA_PLATFORM=offscreen"});
    if (pid < 0) {
      state.SkipWithError("cannot start the program");
      return;
    }
    std::this_thread::sleep_for(2s);  // past start-up
    const double before = CpuSeconds(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(10s);
    const double used = CpuSeconds(pid) - before;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Stop(pid);
    state.SetIterationTime(elapsed);
    state.counters["cpu_percent_of_one_core"] = 100.0 * used / elapsed;
  }
}
BENCHMARK(BM_IdleCpuWithoutDevice)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// An Xvfb on a display number of its own choosing, for the life of the benchmark.
class PrivateXServer {
 public:
  PrivateXServer() {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = Spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, {});
    close(ready[1]);
    char number[16] = {};
    if (pid_ > 0 && read(ready[0], number, sizeof number - 1) > 0) display_ = ":" + std::string(number, std::strcspn(number, "\n"));
    close(ready[0]);
  }
  ~PrivateXServer() {
    if (pid_ > 0) Stop(pid_);
  }
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// True once a top-level window with the caption is mapped and viewable.
bool WindowMapped(xcb_connection_t* connection, xcb_window_t root, const std::string& caption) {
  std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
      xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr), &std::free);
  if (!tree) return false;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, children[i]), nullptr),
        &std::free);
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> name(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 64),
                               nullptr),
        &std::free);
    if (name && std::string(static_cast<const char*>(xcb_get_property_value(name.get())),
                            static_cast<std::size_t>(xcb_get_property_value_length(name.get()))) == caption) {
      return true;
    }
  }
  return false;
}

void BM_StartToWindowShown(benchmark::State& state) {
  PrivateXServer server;
  xcb_connection_t* connection = server.Display().empty() ? nullptr : xcb_connect(server.Display().c_str(), nullptr);
  if (connection == nullptr || xcb_connection_has_error(connection)) {
    state.SkipWithError("no X server (Xvfb) available");
    return;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  for (auto _ : state) {
    const auto start = Clock::now();
    const pid_t pid = Spawn({ZODIVO_BINARY}, {"DISPLAY=" + server.Display(), "QT_QPA_PLATFORM=xcb"});
    bool shown = false;
    while (pid > 0 && !shown && Clock::now() - start < 10s) {
      shown = WindowMapped(connection, root, "Tavrix ZODIVO " ZODIVO_VERSION);
      if (!shown) std::this_thread::sleep_for(1ms);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (pid > 0) Stop(pid);
    if (!shown) {
      state.SkipWithError("the window did not appear within 10 s");
      break;
    }
  }
  xcb_disconnect(connection);
}
BENCHMARK(BM_StartToWindowShown)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
