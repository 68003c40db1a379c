#include "Main_file.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <exception>
#include <variant>

#include "Application.h"
#include "Overloaded.h"

namespace {

constexpr int kClientWidth = 336;
constexpr int kClientHeight = 549;
constexpr int kTickMilliseconds = 10;

QFont Verdana(int pixel_size, bool bold) {
  QFont font(QStringLiteral("Verdana"));
  font.setPixelSize(pixel_size);
  font.setBold(bold);
  return font;
}

// Runs one of the window's handlers from the event loop. An exception leaving it is shown here,
// before it could unwind through the toolkit, and the loop goes on.
template <typename Handler>
auto Guarded(TForm1* form, Handler handler) {
  return [form, handler] {
    try {
      (form->*handler)();
    } catch (...) {
      zodivo::ShowCurrentException();
    }
  };
}

}  // namespace

TForm1::TForm1(devlink::DeviceLink& link, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      link_(link) {
  CreateControls();
  FormCreate();
}

void TForm1::CreateControls() {
  setWindowTitle(QString::fromUtf16(zodivo::kWindowCaption));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(Verdana(16, false));
  SetBackground(zodivo::kMediumGrey);
  if (const QScreen* desktop = screen()) {
    const QRect area = desktop->availableGeometry();
    move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }

  Label1 = new QLabel(QString::fromUtf16(zodivo::kWaitingForConnection), this);
  Label1->setFont(Verdana(13, true));
  // The status line is drawn straight on the window's fixed grey or green, so its text stays
  // black whatever the theme: a dark theme's light text would be unreadable there.
  QPalette status_palette;
  status_palette.setColor(QPalette::WindowText, Qt::black);
  Label1->setPalette(status_palette);
  Label1->move(16, 6);
  Label1->adjustSize();

  Edit1 = new QLineEdit(this);
  Edit1->setGeometry(16, 24, 305, 24);
  Edit1->setFont(Verdana(13, false));
  Edit1->setReadOnly(true);
  Edit1->setAttribute(Qt::WA_InputMethodEnabled, false);
  Edit1->setAccessibleName(QStringLiteral("Unique ID"));

  Button1 = new QPushButton(QStringLiteral("CONNECT"), this);
  Button1->setGeometry(16, 64, 305, 25);
  Button1->setFont(Verdana(13, true));
  connect(Button1, &QPushButton::clicked, this, Guarded(this, &TForm1::Button1Click));

  Memo1 = new QPlainTextEdit(this);
  Memo1->setGeometry(16, 248, 305, 249);
  Memo1->setFont(Verdana(13, false));
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setTabChangesFocus(true);
  // Every appended line would otherwise be kept a second time in the undo history.
  Memo1->setUndoRedoEnabled(false);
  Memo1->setAccessibleName(QStringLiteral("Device log"));
  // Only the base colour is the view's own; the rest still follows the window's background.
  QPalette memo_palette;
  memo_palette.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Midlight));
  Memo1->setPalette(memo_palette);

  Button5 = new QPushButton(QStringLiteral("PAUSE / RESUME LOG"), this);
  Button5->setGeometry(48, 512, 241, 25);
  Button5->setFont(Verdana(13, true));
  connect(Button5, &QPushButton::clicked, this, Guarded(this, &TForm1::Button5Click));

  setTabOrder(Edit1, Button1);
  setTabOrder(Button1, Memo1);
  setTabOrder(Memo1, Button5);

  Timer1 = new QTimer(this);
  Timer1->setTimerType(Qt::PreciseTimer);
  Timer1->setInterval(kTickMilliseconds);
  connect(Timer1, &QTimer::timeout, this, Guarded(this, &TForm1::Timer1Timer));
}

void TForm1::FormCreate() {
  Memo1->clear();
  // The reader never touches a widget: what it has to tell, the tick takes from the mailbox.
  reader_ = std::make_unique<devlink::ReadThread>(link_);
  // The mailbox's lock was created with the link. The first tick comes from the event loop,
  // after creation has finished.
  Timer1->start();
}

void TForm1::Button1Click() { link_.Connect(); }

void TForm1::Button5Click() { ++LogPauseCount; }

void TForm1::Timer1Timer() {
  link_.Mailbox().TakeAll(events_);
  pending_log_lines_.clear();
  std::exception_ptr failure;
  for (const devlink::LinkEvent& event : events_) {
    std::visit(devlink::Overloaded{
                   [this](const devlink::ReceivedReport& report) { ShowReport(report); },
                   [this](const devlink::Connected& connected) { ShowConnected(connected); },
                   [&failure](const devlink::ConnectFailed& failed) {
                     // A connect that found nothing or could not open the unit changes nothing; a
                     // failing HID library is shown once the rest of this tick is applied.
                     if (failed.exception) failure = failed.exception;
                   },
                   [this](const devlink::Lost&) { ShowLost(); },
                   // The window's one link neither watches units come and go nor asks them apart.
                   [](const auto&) {},
               },
               event);
  }
  AppendPendingLogLines();
  if (!device_open_) {
    // Without a device the log view and the identity field stay blank.
    if (!Memo1->document()->isEmpty() || log_has_lines_) {
      Memo1->clear();
      log_has_lines_ = false;
    }
    if (!Edit1->text().isEmpty()) {
      Edit1->clear();
    }
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
}

void TForm1::ShowReport(const devlink::ReceivedReport& report) {
  if (!device_open_) {
    return;
  }
  std::visit(devlink::Overloaded{
                 [](std::monostate) {},
                 [this](const zodivo::ShowIdentity& shown) {
                   SetStatusText(shown.status);
                   SetIdentityText(shown.identity);
                 },
                 [this](zodivo::AppendLogLine&& line) { pending_log_lines_.append(std::move(line.text)); },
             },
             messages_.Handle(report.frame, (LogPauseCount & 1u) != 0));
}

void TForm1::ShowConnected(const devlink::Connected& connected) {
  device_open_ = true;
  SetBackground(zodivo::kLightGreen);
  // Another unit's identifier must not stand beside this unit's lines.
  if (!connected.kept) {
    Edit1->clear();
  }
}

void TForm1::ShowLost() {
  device_open_ = false;
  pending_log_lines_.clear();
  SetStatusText(QString::fromUtf16(zodivo::kWaitingForDevice));
  SetBackground(zodivo::kMediumGrey);
}

void TForm1::SetBackground(const QColor& colour) {
  QPalette window_palette = palette();
  window_palette.setColor(QPalette::Window, colour);
  setPalette(window_palette);
}

void TForm1::SetStatusText(const QString& text) {
  Label1->setText(text);
  Label1->adjustSize();
}

void TForm1::SetIdentityText(const QString& text) { Edit1->setText(text); }

void TForm1::AppendPendingLogLines() {
  if (pending_log_lines_.isEmpty()) {
    return;
  }
  // One edit for the whole batch, so the view lays itself out once per tick.
  QTextCursor cursor(Memo1->document());
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::End);
  if (log_has_lines_ || !Memo1->document()->isEmpty()) {
    cursor.insertBlock();
  }
  cursor.insertText(pending_log_lines_.join(QLatin1Char('\n')));
  cursor.endEditBlock();
  log_has_lines_ = true;
  Memo1->setTextCursor(cursor);
  Memo1->ensureCursorVisible();
  pending_log_lines_.clear();
}
