// The window driven through its handlers on an X server, with the scripted device behind the link,
// under the theme the environment picks: the suite runs under Qt's own style and under GTK's dark
// theme. What the real device and the real program show end to end is checked in the test guest.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "Application.h"
#include "DeviceProtocol.h"
#include "FakeHidPort.h"
#include "Main_file.h"

// Lets test failures print texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace zodivo {
namespace {

const QColor kGrey(160, 160, 164), kGreen(170, 204, 170);  // 0xA4A0A0 and 0xAACCAA as 0x00BBGGRR

devlink::ReportFrame LogFrame(std::string_view text) {
  return vdev::LogTextFrame(std::vector<std::uint8_t>(text.begin(), text.end()));
}

// WCAG 2: relative luminance and the contrast ratio of two colours, 1 to 21.
double Luminance(const QColor& colour) {
  const auto linear = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}
double Contrast(const QColor& a, const QColor& b) {
  const auto [dark, light] = std::minmax({Luminance(a), Luminance(b)});
  return (light + 0.05) / (dark + 0.05);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { form->show(); }
  // Ends a write that the device holds up, so that the window can stop its reader.
  void TearDown() override {
    port.Unplug();
    form.reset();
  }

  void Connect() {
    port.Plug();
    form->Button1Click();
  }
  // The status text against the background on screen: the strongest contrast among its pixels.
  double StatusContrast(const QColor& background) {
    QImage shot;
    (void)QTest::qWaitFor([&] { return (shot = form->screen()->grabWindow(form->winId()).toImage()).pixelColor(8, 150) == background; });
    EXPECT_EQ(shot.pixelColor(8, 150), background) << "the background on screen";
    double strongest = 1;
    const QRect text = form->Label1->geometry();
    for (int y = text.top(); y <= text.bottom(); ++y) {
      for (int x = text.left(); x <= text.right(); ++x) {
        strongest = std::max(strongest, Contrast(shot.pixelColor(x, y), background));
      }
    }
    return strongest;
  }

  devlink::testing::FakeHidPort port;
  devlink::DeviceLink link{port};
  std::unique_ptr<TForm1> form = std::make_unique<TForm1>(link);
};

TEST_F(WindowTest, HasAReadOnlyIdentityItsFontAndKeyboardOrder) {
  EXPECT_TRUE(form->Edit1->isReadOnly() && !form->Memo1->isReadOnly());
  for (const QWidget* control : std::initializer_list<QWidget*>{form->Label1, form->Edit1, form->Button1, form->Memo1,
                                                                 form->Button5}) {
    EXPECT_EQ(QFontInfo(control->font()).family(), "DejaVu Sans");
  }
  // The keyboard reaches the controls in order, and Space presses the focused button.
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->Edit1->setFocus();
  for (QWidget* next : std::initializer_list<QWidget*>{form->Button1, form->Memo1, form->Button5, form->Edit1}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next);
  }
  QTest::keyClick(form->Button5, Qt::Key_Space);
  EXPECT_EQ(form->LogPauseCount, 1u);
}

// The status line is drawn straight on the fixed grey or green background, so its text must stay
// readable on both whatever the theme; the identity field and the log view bring their own
// background and must stay readable in the theme's colours.
TEST_F(WindowTest, EveryTextIsReadableOnItsBackgroundAndOnlyAnOpenedDeviceTurnsItGreen) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  const bool dark = qEnvironmentVariable("GTK_THEME").endsWith(":dark");
  ASSERT_EQ(QGuiApplication::palette().color(QPalette::Base).lightness() < 128, dark) << "the theme was not applied";
  port.SetOpenFails(true);
  Connect();
  const double on_grey = StatusContrast(kGrey);
  port.SetOpenFails(false);
  form->Button1Click();
  const double on_green = StatusContrast(kGreen);
  const QPalette identity = form->Edit1->palette();
  const QPalette log = form->Memo1->palette();
  const double identity_field = Contrast(identity.color(QPalette::Text), identity.color(QPalette::Base));
  const double log_view = Contrast(log.color(QPalette::Text), log.color(QPalette::Base));
  std::printf("%s theme: status line %.1f:1 on grey, %.1f:1 on green; identity field %.1f:1, log view %.1f:1\n",
              dark ? "dark" : "default", on_grey, on_green, identity_field, log_view);
  for (const double contrast : {on_grey, on_green, identity_field, log_view}) EXPECT_GE(contrast, 4.5);
}

TEST_F(WindowTest, PausedLinesAreLostAndALossBlanksTheWindow) {
  Connect();
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
  form->Button5Click();
  port.Send(LogFrame("lost"));
  port.Send(vdev::IdentityReplyFrame({1}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Edit1->text().isEmpty(); }));
  form->Button5Click();
  port.Send(LogFrame("shown"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Memo1->document()->isEmpty(); }));
  EXPECT_EQ(form->Memo1->toPlainText(), "shown");

  // A reply that the reader took just before the loss does not bring back "CONNECTED" after it.
  port.Send(vdev::IdentityReplyFrame({2}));
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
  port.Unplug();
  ASSERT_TRUE(port.WaitFor([&] { return port.LiveHandles() == 0; }));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->palette().color(QPalette::Window) == kGrey; }));
  EXPECT_EQ(form->Label1->text(), "Waiting for device:");
  EXPECT_EQ(form->palette().color(QPalette::Window), kGrey);
  EXPECT_TRUE(form->Edit1->text().isEmpty() && form->Memo1->document()->isEmpty());
}

// A device that takes seconds over the request holds up the reader, never the window: CONNECT,
// even of another unit, which opening would have to wait for, returns at once and the tick goes on.
TEST_F(WindowTest, TheWindowGoesOnWhileTheDeviceTakesTheRequest) {
  port.SetWriteTime(std::chrono::seconds(5));
  Connect();
  ASSERT_TRUE(port.WaitFor([&] { return port.WritesUnderWay() == 1; }));
  port.Plug("/dev/hidraw-b", /*first=*/true);
  form->Button1->click();
  QSignalSpy ticks(form->Timer1, &QTimer::timeout);
  EXPECT_TRUE(ticks.wait(1000));
  EXPECT_EQ(port.WritesUnderWay(), 1);
  port.Unplug("/dev/hidraw-b");
}

// Another unit's identifier must never stand beside the new unit's lines; the unit already open
// keeps its identifier.
TEST_F(WindowTest, AConnectThatOpensAnotherUnitBlanksTheIdentityUntilThatUnitAnswers) {
  Connect();
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
  port.Send(vdev::IdentityReplyFrame({0xA}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Edit1->text().isEmpty(); }));
  const QString first = form->Edit1->text();
  form->Button1Click();
  ASSERT_TRUE(port.WaitFor([&] { return port.Asked().size() == 2; }));
  // The connect's news went into the mailbox before its request went out: the next tick takes it.
  ASSERT_TRUE(QSignalSpy(form->Timer1, &QTimer::timeout).wait(1000));
  EXPECT_EQ(form->Edit1->text(), first);

  port.Plug("/dev/hidraw-b", /*first=*/true);
  form->Button1Click();
  ASSERT_TRUE(port.WaitFor([&] { return port.Asked().size() == 3 && port.WaitingReads() == 1; }));
  port.Send(LogFrame("from b"), "/dev/hidraw-b");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->Memo1->toPlainText().endsWith("from b"); }));
  EXPECT_EQ(form->Edit1->text(), "");
  EXPECT_EQ(form->Label1->text(), "CONNECTED Tavrix Omrin M3");
  port.Send(vdev::IdentityReplyFrame({0xB}), "/dev/hidraw-b");
  EXPECT_TRUE(QTest::qWaitFor([&] { return form->Edit1->text().endsWith("0B0000000000000000000000"); }));
  port.Unplug("/dev/hidraw-b");
}

// A port that fails the way a broken system library would.
class ThrowingPort : public devlink::testing::FakeHidPort {
  void Init() override { throw std::runtime_error("HID subsystem unavailable"); }
};

TEST(WindowErrors, AnExceptionFromAHandlerIsShownAndTheLoopGoesOn) {
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
  ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 1; }));
  // The second box shows that the loop went on after the first.
  QTimer::singleShot(0, [] { throw 42; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }));
  EXPECT_EQ(shown, QStringList({"HID subsystem unavailable", ""}));
}

}  // namespace
}  // namespace zodivo

int main(int argc, char** argv) {
  zodivo::Application app(argc, argv);
  zodivo::ConfigureApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
