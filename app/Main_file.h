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

  // CONNECT: asks the reader to open the device, or to ask the one already open to identify
  // itself again; returns at once.
  void Button1Click();
  // PAUSE / RESUME LOG.
  void Button5Click();
  // Every 10 ms: applies what the reader handed over, oldest first. A connect turns the
  // background light green; one that opened another unit clears the identity field before
  // anything of that unit shows. A loss turns it grey. While no device is open, reports are
  // dropped and the log view and identity field stay blank.
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
  void SetBackground(const QColor& colour);
  void SetStatusText(const QString& text);
  void SetIdentityText(const QString& text);
  void ShowReport(const devlink::ReceivedReport& report);
  void ShowConnected(const devlink::Connected& connected);
  void ShowLost();
  void AppendPendingLogLines();

  devlink::DeviceLink& link_;
  zodivo::IncomingMessages messages_;
  std::vector<devlink::LinkEvent> events_;  // reused by every tick
  bool device_open_ = false;                 // as the events taken so far tell
  QStringList pending_log_lines_;             // one tick's lines, appended in one go
  bool log_has_lines_ = false;                // the log view may hold only an empty line
  // Last, so it stops before anything else goes.
  std::unique_ptr<devlink::ReadThread> reader_;
};
