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
  EXPECT_EQ(Background(*form), QColor(160, 160, 164));

  EXPECT_EQ(form->Label1->text(), " WAITING FOR CONNECTION:");
  EXPECT_TRUE(form->Edit1->text().isEmpty());
  EXPECT_TRUE(form->Edit1->isReadOnly());
  EXPECT_TRUE(form->Memo1->document()->isEmpty());
  EXPECT_FALSE(form->Memo1->isReadOnly());
  EXPECT_EQ(form->Button1->text(), "CONNECT");
  EXPECT_EQ(form->Button5->text(), "PAUSE / RESUME LOG");
  EXPECT_EQ(form->LogPauseCount, 0u);

  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->Edit1->setFocus();
  for (QWidget* next : {static_cast<QWidget*>(form->Button1), static_cast<QWidget*>(form->Memo1),
                        static_cast<QWidget*>(form->Button5), static_cast<QWidget*>(form->Edit1)}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next);
  }

  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_EQ(form->Timer1->interval(), 10);
  EXPECT_EQ(form->Timer1->timerType(), Qt::PreciseTimer);

  for (const QWidget* control : {static_cast<QWidget*>(form->Label1), static_cast<QWidget*>(form->Button1),
                                 static_cast<QWidget*>(form->Button5)}) {
    EXPECT_EQ(QFontInfo(control->font()).family(), "DejaVu Sans");
    EXPECT_EQ(control->font().pixelSize(), 13);
    EXPECT_TRUE(control->font().bold());
  }
  for (const QWidget* control : {static_cast<QWidget*>(form->Edit1), static_cast<QWidget*>(form->Memo1)}) {
    EXPECT_EQ(control->font().pixelSize(), 13);
    EXPECT_FALSE(control->font().bold());
  }

  // Without a device the tick blanks whatever the operator types.
  form->Memo1->setPlainText("typed");
  form->Timer1Timer();
  EXPECT_TRUE(form->Memo1->document()->isEmpty());
}

TEST_F(WindowTest, ConnectTurnsGreenAndAsksForTheIdentityOnlyWhenADeviceOpens) {
  form->Button1Click();
  EXPECT_EQ(Background(*form), QColor(160, 160, 164));
  EXPECT_TRUE(port.Written().empty());

  port.SetOpenFails(true);
  port.Plug();
  form->Button1Click();
  EXPECT_EQ(Background(*form), QColor(160, 160, 164));
  port.SetOpenFails(false);

  form->Button1Click();
  EXPECT_EQ(Background(*form), QColor(170, 204, 170));
  EXPECT_EQ(form->Label1->text(), " WAITING FOR CONNECTION:");
  const auto request = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  ASSERT_EQ(port.Written().size(), 1u);
  EXPECT_EQ(port.Written()[0], std::vector<std::uint8_t>(request.begin(), request.end()));

  port.Send(IdentityFrame(0));
  port.Send(LogFrame("before"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("before"); }));

  // Connecting again keeps what the window shows; the second reply sets the same texts.
  form->Button1Click();
  EXPECT_EQ(port.Written().size(), 2u);
  form->Timer1Timer();
  EXPECT_EQ(form->Edit1->text(), "Unique ID: 000102030405060708090A0B");
  port.Send(IdentityFrame(0));
  port.Send(LogFrame("after"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("after"); }));
  EXPECT_EQ(LogLines(), QStringList({"before", "after"}));
  EXPECT_EQ(form->Edit1->text(), "Unique ID: 000102030405060708090A0B");
  EXPECT_EQ(Background(*form), QColor(170, 204, 170));
}

TEST_F(WindowTest, IdentityReplySetsStatusAndReplacesTheIdentityAlsoWhilePaused) {
  Connect();
  port.Send(IdentityFrame(0x00));
  ASSERT_TRUE(TickUntil([&] { return !form->Edit1->text().isEmpty(); }));
  EXPECT_EQ(form->Label1->text(), "CONNECTED Tavrix Omrin M3");
  EXPECT_EQ(form->Edit1->text(), "Unique ID: 000102030405060708090A0B");
  EXPECT_GE(form->Label1->width(), form->Label1->sizeHint().width());

  form->Button5Click();
  port.Send(IdentityFrame(0xA0));
  ASSERT_TRUE(TickUntil([&] { return form->Edit1->text() == "Unique ID: A0A1A2A3A4A5A6A7A8A9AAAB"; }));
}

TEST_F(WindowTest, EveryLogTextIsOneLineInArrivalOrder) {
  Connect();
  const std::string full(55, 'w');
  for (const auto& frame : {LogFrame("OK"), LogFrame(""), LogFrame({0xC4, 0xE0, 0x98}), LogFrame("two\r\nlines\tin one"),
                            LogFrame(full)}) {
    port.Send(frame);
  }
  ASSERT_TRUE(TickUntil([&] { return LogLines().size() == 5; }));
  EXPECT_EQ(LogLines(), QStringList({"OK", "", QString::fromUtf8("Да\uFFFD"),
                                     "two  lines in one", QString::fromStdString(full)}));
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
  EXPECT_EQ(form->LogPauseCount, 2u);
  port.Send(LogFrame("shown"));
  ASSERT_TRUE(TickUntil([&] { return !LogLines().isEmpty(); }));
  EXPECT_EQ(LogLines(), QStringList({"shown"}));
}

TEST_F(WindowTest, FramesThatAreNoMessageChangeNothing) {
  Connect();
  auto bad_checksum = LogFrame("bad");
  bad_checksum[63] ^= 1;
  port.Send(bad_checksum);
  auto outgoing = devlink::BuildOutgoingFrame(devlink::kLogText, std::vector<std::uint8_t>{'x', 0});
  port.Send(outgoing);
  for (const int code : {0x00, 0x09, 0x0B, 0x0D, 0x0F, 0xBC, 0xFF}) {
    port.Send(devlink::BuildIncomingFrame(static_cast<std::uint8_t>(code), std::vector<std::uint8_t>(13, 'z')));
  }
  port.Send(LogFrame("end"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("end"); }));
  EXPECT_EQ(LogLines(), QStringList({"end"}));
  EXPECT_EQ(form->Label1->text(), " WAITING FOR CONNECTION:");
  EXPECT_TRUE(form->Edit1->text().isEmpty());
}

TEST_F(WindowTest, LossShowsWaitingOnGreyAndBlanksTheFieldsUntilReconnected) {
  Connect();
  port.Send(IdentityFrame(0));
  port.Send(LogFrame("line"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("line"); }));

  port.Unplug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->Label1->text() == "Waiting for device:"; }, 5000));
  EXPECT_EQ(Background(*form), QColor(160, 160, 164));
  form->Timer1Timer();
  EXPECT_TRUE(form->Edit1->text().isEmpty());
  EXPECT_TRUE(form->Memo1->document()->isEmpty());

  Connect();
  EXPECT_EQ(Background(*form), QColor(170, 204, 170));
  EXPECT_EQ(port.Written().size(), 2u);
  port.Send(IdentityFrame(0));
  port.Send(LogFrame("again"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("again"); }));
  EXPECT_EQ(LogLines(), QStringList({"again"}));
  EXPECT_EQ(form->Label1->text(), "CONNECTED Tavrix Omrin M3");
}

TEST_F(WindowTest, ABurstReachesTheWindowWithTheLastLineInSight) {
  Connect();
  constexpr int kBurst = 600;
  for (int i = 0; i < kBurst; ++i) port.Send(LogFrame("line " + std::to_string(i)));
  port.Send(IdentityFrame(0));
  port.Send(LogFrame("last"));
  ASSERT_TRUE(TickUntil([&] { return LastLineIs("last"); }));
  const QStringList lines = LogLines();
  ASSERT_EQ(lines.size(), kBurst + 1);
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(lines[i], QStringLiteral("line %1").arg(i));
  EXPECT_EQ(form->Edit1->text(), "Unique ID: 000102030405060708090A0B");

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
