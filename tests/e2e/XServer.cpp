#include "XServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "VirtualDeviceProcess.h"

namespace e2e {
namespace {

// The display number Xvfb writes once it accepts connections.
std::string ReadDisplayNumber(int fd, std::chrono::milliseconds limit) {
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd readable{fd, POLLIN, 0};
  while (number.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    char chunk[16];
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1) return {};
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return {};
    number.append(chunk, static_cast<std::size_t>(got));
  }
  return number.substr(0, number.find('\n'));
}

template <typename Reply>
std::unique_ptr<Reply, decltype(&std::free)> Owned(Reply* reply) {
  return {reply, &std::free};
}

}  // namespace

XServer::XServer() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return;
  }
  server_ = Spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                  {{3, ready[1]}});
  close(ready[1]);
  const std::string number = server_ > 0 ? ReadDisplayNumber(ready[0], std::chrono::seconds(30)) : "";
  close(ready[0]);
  if (number.empty()) {
    ADD_FAILURE() << "Xvfb did not start";
    return;
  }
  display_ = ":" + number;
  int screen_number = 0;
  connection_ = xcb_connect(display_.c_str(), &screen_number);
  if (xcb_connection_has_error(connection_)) {
    ADD_FAILURE() << "cannot connect to Xvfb on " << display_;
    return;
  }
  root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
}

XServer::~XServer() {
  if (connection_ != nullptr) xcb_disconnect(connection_);
  if (server_ > 0) {
    kill(server_, SIGTERM);
    if (!WaitForChild(server_, std::chrono::seconds(5))) {
      kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
  }
}

std::optional<xcb_window_t> XServer::WaitForWindow(const std::string& title, std::chrono::milliseconds limit) {
  std::optional<xcb_window_t> found;
  WaitUntil(
      [&] {
        const auto tree = Owned(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
        if (!tree) return false;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
          const auto attributes = Owned(xcb_get_window_attributes_reply(
              connection_, xcb_get_window_attributes(connection_, children[i]), nullptr));
          if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && Title(children[i]) == title) {
            found = children[i];
            return true;
          }
        }
        return false;
      },
      limit);
  return found;
}

bool XServer::Click(xcb_window_t window, int x, int y) {
  const pid_t xdotool = Spawn({"/usr/bin/env", "DISPLAY=" + display_, "/usr/bin/xdotool", "mousemove", "--sync",
                               "--window", std::to_string(window), std::to_string(x), std::to_string(y), "click", "1"});
  return xdotool > 0 && WaitForChild(xdotool, std::chrono::seconds(10)) == 0;
}

void XServer::Close(xcb_window_t window) {
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = Atom("WM_PROTOCOLS");
  message.data.data32[0] = Atom("WM_DELETE_WINDOW");
  message.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
  xcb_flush(connection_);
}

xcb_atom_t XServer::Atom(const char* name) {
  const auto reply = Owned(xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::string XServer::Title(xcb_window_t window) {
  const auto property = Owned(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, Atom("_NET_WM_NAME"), XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
      nullptr));
  if (!property) return {};
  return {static_cast<const char*>(xcb_get_property_value(property.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(property.get()))};
}

}  // namespace e2e
