// A private Xvfb for one test, and what a person does with a window on it: find it, click it,
// close it.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace e2e {

class XServer {
 public:
  // Starts the server and connects to it; fails the test when either does not work.
  XServer();
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // ":N", for DISPLAY.
  const std::string& Display() const { return display_; }
  // The shown top-level window with this title, or nothing after `limit`.
  std::optional<xcb_window_t> WaitForWindow(const std::string& title, std::chrono::milliseconds limit);
  // A left click at (x, y) inside the window through the XTEST extension, as from a real mouse.
  bool Click(xcb_window_t window, int x, int y);
  // What a window manager's close button does: WM_DELETE_WINDOW.
  void Close(xcb_window_t window);

 private:
  xcb_atom_t Atom(const char* name);
  std::string Title(xcb_window_t window);

  pid_t server_ = -1;
  std::string display_;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
};

}  // namespace e2e
