#include "Application.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Connection.h"
#include "Main_file.h"

namespace zodivo {
namespace {

// The window is a plain widget, which accessibility tools would present as a pane inside some
// other window; they are told it is a window of its own, so that screen readers announce it.
QAccessibleInterface* FormAccessible(const QString&, QObject* object) {
  auto* form = dynamic_cast<TForm1*>(object);
  return form != nullptr ? new QAccessibleWidget(form, QAccessible::Window) : nullptr;
}

}  // namespace

void ConfigureApplication() {
  // The display name stays unset: Qt would append it to every window caption.
  QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
  // Lets a desktop (Wayland in particular) match the window to the installed desktop entry.
  QGuiApplication::setDesktopFileName(QStringLiteral(ZODIVO_APP_ID));
  // The installed icon, found in the icon theme as the desktop finds it for the menu entry.
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(ZODIVO_APP_ID)));
  QFont::insertSubstitution(QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"));
  QAccessible::installFactory(&FormAccessible);
}

void ShowCurrentException() {
  QString message;
  try {
    throw;
  } catch (const std::exception& error) {
    message = QString::fromLocal8Bit(error.what());
  } catch (...) {
  }
  QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), message, QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

void RunAndExit(Application& app, devlink::HidPort& port) {
  try {
    ConfigureApplication();
    auto* link = new devlink::DeviceLink(port);
    auto* form = new TForm1(*link);
    form->show();
    app.exec();
  } catch (...) {
    ShowCurrentException();
  }
  // No destructor runs: neither the reader's nor that of anything it still uses.
  std::fflush(nullptr);
  std::_Exit(EXIT_SUCCESS);
}

}  // namespace zodivo
