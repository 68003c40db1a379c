// The operator window: status line, identity field, CONNECT, the device log view and
// PAUSE / RESUME LOG, with the 10 ms tick that moves frames from the mailbox to the screen.
#pragma once

#include <QColor>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <vector>

#include "Connection.h"
#include "IncomingMessages.h"
#include "Read_tr.h"
#include "ReportFrame.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace zodivo {

inline constexpr char16_t kWindowCaption[] = u"Tavrix ZODIVO " ZODIVO_VERSION;
inline constexpr char16_t kWaitingForConnection[] = u" WAITING FOR CONNECTION:";
inline constexpr char16_t kWaitingForDevice[] = u"Waiting for device:";
inline const QColor kMediumGrey{160, 160, 164};
inline const QColor kLightGreen{170, 204, 170};

}  // namespace zodivo

class TForm1 : public QWidget {
 public:
  // Starts reading from `link` at once; `link` must outlive the window. Destroying the window
  // waits for the reader's call under way: a read period, or a write that the device holds up.
  explicit TForm1(devlink::DeviceLink& link, QWidget* parent = nullptr);

  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // CONNECT: opens the device, or asks the one already open to identify itself again; the
  // background turns light green when that worked.
  void Button1Click();
  // PAUSE / RESUME LOG.
  void Button5Click();
  // Every 10 ms: while a device is open, handles every frame waiting in the mailbox, oldest first;
  // while none is, drops them and keeps the log view and identity field blank.
  void Timer1Timer();

  QLabel* Label1;
  QLineEdit* Edit1;
  QPushButton* Button1;
  QPlainTextEdit* Memo1;
  QPushButton* Button5;
  QTimer* Timer1;

  // The log is paused while this is odd.
  std::uint32_t LogPauseCount = 0;

 private:
  void CreateControls();
  void FormCreate();
  // Applied on the UI thread after the reader lost the device.
  void DeviceLost();

  void SetBackground(const QColor& colour);
  void SetStatusText(const QString& text);
  void SetIdentityText(const QString& text);
  void AppendPendingLogLines();

  devlink::DeviceLink& link_;
  zodivo::IncomingMessages messages_;
  std::vector<devlink::ReportFrame> frames_;  // reused by every tick
  QStringList pending_log_lines_;             // one tick's lines, appended in one go
  bool log_has_lines_ = false;                // the log view may hold only an empty line
  // Last, so it stops (and can no longer post a loss) before anything else goes.
  std::unique_ptr<devlink::ReadThread> reader_;
};
