// The window driven through its handlers, offscreen, with the scripted device behind the link.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>
#include <initializer_list>
#include <stdexcept>

#include "Application.h"
#include "Connection.h"
#include "FakeHidPort.h"
#include "Frames.h"
#include "Main_file.h"

namespace zodivo {
namespace {

using devlink::testing::FakeHidPort;
using testing::IdentityFrame;
using testing::LogFrame;

Application& TestApplication() {
  static int argc = 1;
  static char name[] = "window_tests";
  static char* argv[] = {name, nullptr};
  static Application* app = [] {
    auto* created = new Application(argc, argv);
    ConfigureApplication();
    return created;
  }();
  return *app;
}

const QColor kGrey(160, 160, 164);
const QColor kGreen(170, 204, 170);

QColor Background(const QWidget& widget) { return widget.palette().color(QPalette::Window); }

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TestApplication(); }

  void SetUp() override {
    form = std::make_unique<TForm1>(link);
    form->show();
  }

  // The reader's read must end before the window can stop it.
  void TearDown() override {
    port.Unplug();
    form.reset();
  }

  void Connect() {
    port.Plug();
    form->Button1Click();
  }

  // Ticks (and runs the event loop) until `done` holds; false after five seconds.
  bool TickUntil(const std::function<bool()>& done) {
    return QTest::qWaitFor(
        [&] {
          form->Timer1Timer();
          return done();
        },
        5000);
  }

  QStringList LogLines() const {
    const QString text = form->Memo1->toPlainText();
    return text.isEmpty() && form->Memo1->document()->isEmpty() ? QStringList{} : text.split(QLatin1Char('\n'));
  }

  bool LastLineIs(const QString& line) const { return !LogLines().isEmpty() && LogLines().back() == line; }

  FakeHidPort port;
  devlink::DeviceLink link{port};
  std::unique_ptr<TForm1> form;
};

TEST_F(WindowTest, StartsGreyAndWaitingWithBlankFields) {
  EXPECT_EQ(form->windowTitle(), "Tavrix ZODIVO 1.07");
  EXPECT_EQ(form->size(), QSize(336, 549));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(Background(*form), kGrey);

  EXPECT_EQ(form->Label1->text(), " WAITING FOR CONNECTION:");
  EXPECT_TRUE(form->Edit1->text().isEmpty());
  EXPECT_TRUE(form->Edit1->isReadOnly());
  EXPECT_TRUE(form->Memo1->document()->isEmpty());
  EXPECT_FALSE(form->Memo1->isReadOnly());
  EXPECT_EQ(form->Button1->text(), "CONNECT");
  EXPECT_EQ(form->Button5->text(), "PAUSE / RESUME LOG");

  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->Edit1->setFocus();
  for (QWidget* next : std::initializer_list<QWidget*>{form->Button1, form->Memo1, form->Button5, form->Edit1}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next);
  }

  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_EQ(form->Timer1->interval(), 10);
  EXPECT_EQ(form->Timer1->timerType(), Qt::PreciseTimer);

  for (const QWidget* control : std::initializer_list<const QWidget*>{form->Label1, form->Edit1, form->Button1,
                                                                      form->Memo1, form->Button5}) {
    EXPECT_EQ(QFontInfo(control->font()).family(), "DejaVu Sans");
    EXPECT_EQ(control->font().pixelSize(), 13);
    EXPECT_EQ(control->font().bold(), control != form->Edit1 && control != form->Memo1);
  }

  // Without a device the tick blanks whatever the operator types.
  form->Memo1->setPlainText("typed");
  form->Timer1Timer();
  EXPECT_TRUE(form->Memo1->document()->isEmpty());
}

TEST_F(WindowTest, ConnectTurnsGreenOnlyWhenADeviceOpensAndTheReplyShowsTheIdentity) {
  form->Button1Click();
  port.SetOpenFails(true);
  port.Plug();
  form->Button1Click();
  EXPECT_EQ(Background(*form), kGrey);
  port.SetOpenFails(false);

  form->Button1Click();
  EXPECT_EQ(Background(*form), kGreen);
  EXPECT_EQ(port.Written().size(), 1u);
  port.Send(IdentityFrame(0));
  ASSERT_TRUE(TickUntil([&] { return !form->Edit1->text().isEmpty(); }));
  EXPECT_EQ(form->Edit1->text(), "Unique ID: 000102030405060708090A0B");
  EXPECT_EQ(form->Label1->text(), "CONNECTED Tavrix Omrin M3");
  // The status line grows with its text.
  EXPECT_GE(form->Label1->width(), form->Label1->sizeHint().width());
}

TEST_F(WindowTest, PausedLinesAreDiscardedNotKept) {
  Connect();
  form->Button5Click();
  port.Send(LogFrame("lost 1"));
  port.Send(LogFrame("lost 2"));
  port.Send(IdentityFrame(0));
  ASSERT_TRUE(TickUntil([&] { return !form->Edit1->text().isEmpty(); }));
  EXPECT_TRUE(LogLines().isEmpty());

  form->Button5Click();
  port.Send(LogFrame("shown"));
  ASSERT_TRUE(TickUntil([&] { return !LogLines().isEmpty(); }));
  EXPECT_EQ(LogLines(), QStringList({"shown"}));
}

TEST_F(WindowTest, LossShowsWaitingOnGreyAndBlanksTheFields) {
  Connect();
  port.Send(IdentityFrame(0));
  port.Send(LogFrame("line"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("line"); }));

  port.Unplug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->Label1->text() == "Waiting for device:"; }, 5000));
  EXPECT_EQ(Background(*form), kGrey);
  form->Timer1Timer();
  EXPECT_TRUE(form->Edit1->text().isEmpty());
  EXPECT_TRUE(form->Memo1->document()->isEmpty());
}

TEST_F(WindowTest, ABurstReachesTheWindowInOrderWithTheLastLineInSight) {
  Connect();
  constexpr int kBurst = 600;
  for (int i = 0; i < kBurst; ++i) port.Send(LogFrame("line " + std::to_string(i)));
  // Valid, but no message: it must not become a line.
  port.Send(devlink::BuildOutgoingFrame(devlink::kLogText));
  port.Send(IdentityFrame(0));
  port.Send(LogFrame("last"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("last"); }));
  const QStringList lines = LogLines();
  ASSERT_EQ(lines.size(), kBurst + 1);
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(lines[i], QStringLiteral("line %1").arg(i));
  EXPECT_FALSE(form->Edit1->text().isEmpty());

  EXPECT_TRUE(form->Memo1->textCursor().atEnd());
  EXPECT_GT(form->Memo1->verticalScrollBar()->value(), 0);
  EXPECT_TRUE(form->Memo1->viewport()->rect().contains(form->Memo1->cursorRect()));
}

// A port whose every call fails the way a broken system library would.
class ThrowingPort : public devlink::HidPort {
 public:
  void Init() override { throw std::runtime_error("HID subsystem unavailable"); }
  std::optional<devlink::DeviceIdentity> FindFirst(std::uint16_t, std::uint16_t) override { return std::nullopt; }
  std::unique_ptr<devlink::HidDevice> Open(const devlink::DeviceIdentity&) override { return nullptr; }
};

class ThrowsOnEvent : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw 42;
    return QObject::event(event);
  }
};

TEST(WindowErrors, AnExceptionFromAHandlerIsShownAndTheLoopGoesOn) {
  TestApplication();
  ThrowingPort port;
  devlink::DeviceLink link(port);
  TForm1 form(link);
  QStringList shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown.append(box->text());
      box->accept();
    }
  });
  closer.start(5);

  form.Button1->click();
  ThrowsOnEvent target;
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }, 5000));
  EXPECT_EQ(shown, QStringList({"HID subsystem unavailable", ""}));

  // The tick still runs from the loop.
  form.Memo1->setPlainText("typed");
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.Memo1->document()->isEmpty(); }, 5000));
}

TEST(ProgramEnd, ClosingTheWindowExitsWithZeroWhileTheReaderIsBlocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Application& app = TestApplication();
        auto* port = new FakeHidPort;
        port->Plug();
        auto* driver = new QTimer;
        QObject::connect(driver, &QTimer::timeout, [port] {
          for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* form = dynamic_cast<TForm1*>(widget);
            if (form == nullptr || !form->isVisible()) continue;
            if (port->OpenCount() == 0) form->Button1->click();
            if (port->BlockedReads() > 0) form->close();
          }
        });
        driver->start(5);
        RunAndExit(app, *port);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zodivo
