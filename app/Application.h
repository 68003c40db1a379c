// What the whole program shares: its name, its fonts, and how an exception that reaches the top
// is shown to the operator.
#pragma once

#include <QApplication>

#include "HidPort.h"

namespace zodivo {

inline constexpr char kApplicationName[] = "Tavrix ZODIVO";

// Names the program (the window class follows the name) and its desktop entry, gives its windows
// the installed icon, lets DejaVu Sans stand in for Verdana and presents the window to
// accessibility tools as a window. Call once, after creating the application and before
// creating the window.
void ConfigureApplication();

// Shows the exception being handled in the standard error message box: its message, or an empty
// one when it carries none. Call only inside a catch block.
void ShowCurrentException();

// Shows an exception that escapes an event handler and lets the event loop go on.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override;
};

// The program after the application exists: names it, opens the window on a link to `port`, runs
// the event loop and ends the process with exit code 0, also when start-up throws. Nothing is
// destroyed, since the reader may stay blocked in a device read that never returns.
[[noreturn]] void RunAndExit(Application& app, devlink::HidPort& port);

}  // namespace zodivo
