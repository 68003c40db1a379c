// The real window on an X server (run under xvfb-run): what the X server knows of it and what it
// looks like. Writes the screenshots next to the test binary for a look by eye.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include "Application.h"
#include "Connection.h"
#include "FakeHidPort.h"
#include "Frames.h"
#include "Main_file.h"

namespace zodivo {
namespace {

using devlink::testing::FakeHidPort;

QString Output(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(10000);
  return QString::fromUtf8(process.readAllStandardOutput());
}

TEST(Screenshot, WindowOnX11HasItsNamesSizeAndColours) {
  static int argc = 1;
  static char name[] = "screenshot_test";
  static char* argv[] = {name, nullptr};
  auto* app = new Application(argc, argv);
  ConfigureApplication();
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");

  FakeHidPort port;
  devlink::DeviceLink link(port);
  auto form = std::make_unique<TForm1>(link);
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  QTest::qWait(100);

  const QString id = QString::number(form->winId());
  const QString names = Output("xprop", {"-id", id, "WM_NAME", "_NET_WM_NAME"});
  EXPECT_TRUE(names.contains("WM_NAME(STRING) = \"Tavrix ZODIVO 1.07\"\n")) << names.toStdString();
  EXPECT_TRUE(names.contains("_NET_WM_NAME(UTF8_STRING) = \"Tavrix ZODIVO 1.07\"\n")) << names.toStdString();

  const QImage waiting = form->screen()->grabWindow(form->winId()).toImage();
  waiting.save(SCREENSHOT_DIR "/window-waiting.png");
  EXPECT_EQ(waiting.size(), QSize(336, 549));
  EXPECT_EQ(waiting.pixelColor(8, 150), QColor(160, 160, 164));

  port.Plug();
  form->Button1Click();
  port.Send(testing::IdentityFrame(0x3A));
  for (int i = 1; i <= 40; ++i) {
    port.Send(testing::LogFrame("log line " + std::to_string(i) + ": 0123456789 abcdefghij"));
  }
  port.Send(testing::LogFrame({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, '\t', 0x98, '\r', '\n', 'e', 'n', 'd'}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->Memo1->document()->blockCount() == 41; }, 5000));
  QTest::qWait(100);
  const QImage connected = form->screen()->grabWindow(form->winId()).toImage();
  connected.save(SCREENSHOT_DIR "/window-connected.png");
  EXPECT_EQ(connected.pixelColor(8, 150), QColor(170, 204, 170));

  port.Unplug();
  form.reset();
  app->processEvents();
}

}  // namespace
}  // namespace zodivo
