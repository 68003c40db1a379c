// The window on the real hidapi link against the virtual device, and the real program on an X
// server: what the operator sees and that closing the window ends the program at once.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextDocument>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>

#include "Application.h"
#include "Connection.h"
#include "HidPort.h"
#include "Main_file.h"
#include "VirtualDeviceProcess.h"
#include "XServer.h"

namespace e2e {
namespace {

const QString kConnected = QStringLiteral("CONNECTED Tavrix Omrin M3");
const std::string kIdentityRequest = "01F00FABBC" + std::string(110, '0') + "0A6900E9";

QStringList Numbered(const char* prefix, int first, int last) {
  QStringList lines;
  for (int i = first; i <= last; ++i) lines.append(prefix + QString::number(i));
  return lines;
}

std::string Joined(const QStringList& lines) { return (lines.join('\n') + '\n').toStdString(); }

class WindowE2eTest : public ::testing::Test {
 protected:
  template <typename Predicate>
  static bool WaitFor(Predicate done, std::chrono::milliseconds limit = 10s) {
    return QTest::qWaitFor(done, static_cast<int>(limit.count()));
  }
  QString Status() const { return form->Label1->text(); }
  QString Identity() const { return form->Edit1->text(); }
  QColor Background() const { return form->palette().color(QPalette::Window); }
  QStringList LogLines() const {
    const QString text = form->Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
  }

  devlink::DeviceLink link{devlink::SystemHidPort()};
  // Its destructor waits for the reader's read under way: the tests unplug their devices first.
  std::unique_ptr<TForm1> form = std::make_unique<TForm1>(link);
};

TEST_F(WindowE2eTest, ConnectAsksOnceShowsTheIdentifierAndConnectingAgainKeepsIt) {
  VirtualDeviceProcess device({.identifier = "0A1B2C3D4E5F60718293A4B5", .greeting = "hello"});
  form->Button1Click();
  EXPECT_EQ(Background(), zodivo::kLightGreen);
  ASSERT_TRUE(WaitFor([&] { return Status() == kConnected && !LogLines().isEmpty(); }));
  EXPECT_EQ(Identity(), "Unique ID: 0A1B2C3D4E5F60718293A4B5");
  EXPECT_EQ(device.RecordedReports(), std::vector<std::string>{kIdentityRequest});

  form->Button1Click();
  EXPECT_EQ(Identity(), "Unique ID: 0A1B2C3D4E5F60718293A4B5");
  device.Send("more\n");
  // The second reply brings a second greeting; the reply may reach the window twice, through
  // the old handle and the new one, so the greeting may too.
  ASSERT_TRUE(WaitFor([&] { return LogLines().contains("more"); }));
  EXPECT_EQ(LogLines().front(), "hello");
  EXPECT_EQ(LogLines().back(), "more");
  EXPECT_EQ(Identity(), "Unique ID: 0A1B2C3D4E5F60718293A4B5");
  EXPECT_EQ(Status(), kConnected);
  EXPECT_TRUE(device.Unplug());
  EXPECT_EQ(device.RecordedReports(), std::vector<std::string>(2, kIdentityRequest));
  EXPECT_EQ(device.Complaints(), "");
}

TEST_F(WindowE2eTest, AThousandLinesOneMillisecondApartAllReachTheLogViewInOrder) {
  VirtualDeviceProcess device({.count = 1000, .interval_ms = 1});
  form->Button1Click();
  WaitFor([&] { return !LogLines().isEmpty() && LogLines().back() == "Log line 1000"; }, 30s);
  const QStringList lines = LogLines();
  const QStringList expected = Numbered("Log line ", 1, 1000);
  QStringList missing;
  for (const QString& line : expected) {
    if (!lines.contains(line)) missing.append(line);
  }
  std::printf("lines delivered: %lld of 1000 (frames dropped by the mailbox: %llu)\n",
              static_cast<long long>(lines.size()), static_cast<unsigned long long>(link.Mailbox().DroppedCount()));
  RecordProperty("lines_delivered", static_cast<int>(lines.size()));
  EXPECT_TRUE(missing.isEmpty()) << "missing: " << missing.join(", ").toStdString();
  EXPECT_TRUE(lines == expected) << "not in order";
  EXPECT_TRUE(device.Unplug());
}

TEST_F(WindowE2eTest, ALineRightAfterTheReplyAndABurstAllReachTheWindowAndPausedLinesNever) {
  VirtualDeviceProcess device({.greeting = "Привет, M3"});
  form->Button1Click();
  ASSERT_TRUE(WaitFor([&] { return Status() == kConnected && !LogLines().isEmpty(); }));
  const QStringList greeting{QString::fromUtf8("Привет, M3")};
  EXPECT_EQ(LogLines(), greeting);

  device.Send(Joined(Numbered("burst ", 1, 60)));
  WaitFor([&] { return LogLines().size() >= 61; });
  EXPECT_EQ(LogLines(), greeting + Numbered("burst ", 1, 60));

  form->Button5Click();
  device.Send(Joined(Numbered("paused ", 1, 5)));
  // The reply to a fresh request comes after everything sent so far.
  form->Edit1->clear();
  link.SendIdentityRequest();
  ASSERT_TRUE(WaitFor([&] { return !Identity().isEmpty(); }));
  form->Button5Click();
  device.Send("after\n");
  ASSERT_TRUE(WaitFor([&] { return LogLines().contains("after"); }));
  // The greeting after that reply may come before or after the resume.
  EXPECT_TRUE(LogLines().filter("paused").isEmpty());
  EXPECT_EQ(LogLines().back(), "after");
  EXPECT_TRUE(device.Unplug());
}

TEST_F(WindowE2eTest, UnplugShowsWaitingOnGreyAndAReplugShowsTheNewIdentifier) {
  {
    VirtualDeviceProcess first({.identifier = "111111111111111111111111", .greeting = "first"});
    form->Button1Click();
    ASSERT_TRUE(WaitFor([&] { return Status() == kConnected && !LogLines().isEmpty(); }));
    ASSERT_TRUE(first.Unplug());
  }
  ASSERT_TRUE(WaitFor([&] { return Status() == "Waiting for device:"; }));
  EXPECT_EQ(Background(), zodivo::kMediumGrey);
  EXPECT_TRUE(WaitFor([&] { return Identity().isEmpty() && LogLines().isEmpty(); }));

  VirtualDeviceProcess second({.identifier = "222222222222222222222222"});
  form->Button1Click();
  EXPECT_EQ(Background(), zodivo::kLightGreen);
  ASSERT_TRUE(WaitFor([&] { return Status() == kConnected; }));
  EXPECT_EQ(Identity(), "Unique ID: 222222222222222222222222");
}

// The real program on an X server: started, CONNECT clicked with the mouse, connected, closed
// while its reader is blocked in a read on the still plugged-in device.
TEST(ProgramE2eTest, ConnectsAndExitsWithinASecondOfClosing) {
  VirtualDeviceProcess device({.identifier = "5A5A5A5A5A5A5A5A5A5A5A5A"});
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  // env(1) runs the program in its own process: the pid is the program's.
  const pid_t program = Spawn({"/usr/bin/env", "DISPLAY=" + x.Display(), "QT_QPA_PLATFORM=xcb", TAVRIX_ZODIVO_PATH});
  ASSERT_GT(program, 0);

  const auto window = x.WaitForWindow("Tavrix ZODIVO 1.07", 60s);
  ASSERT_TRUE(window.has_value()) << "the window did not appear";
  ASSERT_TRUE(x.Click(*window, 16 + 305 / 2, 64 + 25 / 2));
  EXPECT_TRUE(WaitUntil([&] { return device.RecordedReports().size() == 1; }, 10s));
  // Let the reply arrive and the reader go back to waiting in a read.
  std::this_thread::sleep_for(200ms);

  const auto asked = std::chrono::steady_clock::now();
  x.Close(*window);
  const auto status = WaitForChild(program, 1s);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
  std::printf("the program ended %lld ms after its window was closed\n", static_cast<long long>(took.count()));
  if (!status) {
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
  }
  ASSERT_TRUE(status.has_value()) << "still running a second after its window was closed";
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(device.Unplug());
  EXPECT_EQ(device.RecordedReports().size(), 1u);
  EXPECT_EQ(device.Complaints(), "");
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  zodivo::Application app(argc, argv);
  zodivo::ConfigureApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
