// The link on the real hidapi backend against a virtual device on the real kernel HID stack.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "LinkFixture.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;

const std::string kIdentityRequest = "01F00FABBC" + std::string(110, '0') + "0A6900E9";

std::string Numbered(const char* prefix, int first, int last) {
  std::string lines;
  for (int i = first; i <= last; ++i) lines += prefix + std::to_string(i) + "\n";
  return lines;
}

std::vector<std::string> NumberedLines(const char* prefix, int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) lines.push_back(prefix + std::to_string(i));
  return lines;
}

std::string NarrowSerial(const devlink::DeviceIdentity& identity) {
  const std::wstring& wide = identity.serial.value_or(L"");
  return {wide.begin(), wide.end()};
}

using LinkE2eTest = LinkTest;

TEST_F(LinkE2eTest, ConnectSendsOneIdentityRequestAndReceivesTheIdentifier) {
  VirtualDeviceProcess device({.identifier = "000102030405060708090A0B"});
  const auto listed = devlink::SystemHidPort().FindFirst(devlink::kVendorId, devlink::kProductId);
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(NarrowSerial(*listed), device.Serial());

  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(WaitForIdentifier("000102030405060708090A0B"));
  // What hidraw hands over starts with the report number.
  EXPECT_EQ(received.front()[0], 0x01);
  EXPECT_EQ(received.size(), 1u);

  EXPECT_TRUE(device.Unplug());
  EXPECT_THAT(device.RecordedReports(), ElementsAre(kIdentityRequest));
  EXPECT_EQ(device.Complaints(), "");
}

TEST_F(LinkE2eTest, AThousandLinesOneMillisecondApartAllArriveInOrder) {
  VirtualDeviceProcess device({.count = 1000, .interval_ms = 1});
  ASSERT_TRUE(link.Connect());
  WaitForFrames([&](const auto&) { return ReceivedLines().size() >= 1000; }, 60s);

  const auto lines = ReceivedLines();
  std::printf("lines delivered: %zu of 1000 (frames dropped by the mailbox: %llu)\n", lines.size(),
              static_cast<unsigned long long>(link.Mailbox().DroppedCount()));
  RecordProperty("lines_delivered", static_cast<int>(lines.size()));
  EXPECT_EQ(lines, NumberedLines("Log line ", 1, 1000));
  EXPECT_TRUE(device.Unplug());
}

TEST_F(LinkE2eTest, ALineRightAfterTheReplyAndABurstAllArrive) {
  VirtualDeviceProcess device({.greeting = "Привет, M3"});
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(WaitForFrames([](const auto& frames) { return frames.size() >= 2; }));
  ASSERT_TRUE(IdentifierOf(received[0]).has_value());
  // Code page 1251 on the wire.
  EXPECT_EQ(LogTextOf(received[1]), "\xCF\xF0\xE8\xE2\xE5\xF2, M3");

  // Sent back to back, faster than any reader: the kernel queues them for the open handle.
  device.Send(Numbered("burst ", 1, 60));
  WaitForFrames([&](const auto&) { return ReceivedLines().size() >= 61; });
  auto lines = ReceivedLines();
  lines.erase(lines.begin());
  EXPECT_EQ(lines, NumberedLines("burst ", 1, 60));
  EXPECT_TRUE(device.Unplug());
  EXPECT_EQ(device.Complaints(), "");
}

TEST_F(LinkE2eTest, UnplugReportsTheLossOnceAndAReplugConnectsTheNewDevice) {
  {
    VirtualDeviceProcess first({.identifier = "111111111111111111111111"});
    ASSERT_TRUE(link.Connect());
    ASSERT_TRUE(WaitForIdentifier(first.Identifier()));
    ASSERT_TRUE(first.Unplug());
  }
  ASSERT_TRUE(WaitUntil([&] { return losses == 1; }));
  EXPECT_FALSE(link.HasDevice());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(losses, 1);
  EXPECT_TRUE(WaitUntil([] { return OpenHidrawCount() == 0; }));

  VirtualDeviceProcess second({.identifier = "222222222222222222222222"});
  received.clear();
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(WaitForIdentifier(second.Identifier()));
  EXPECT_EQ(losses, 1);
}

TEST_F(LinkE2eTest, ConnectWhileOpenSwitchesHandlesWithoutLosingLines) {
  VirtualDeviceProcess device;
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(WaitForIdentifier(device.Identifier()));

  ASSERT_TRUE(link.Connect());
  EXPECT_TRUE(link.HasDevice());
  // The reply to the second request reaches both handles; the reader takes it from the old one
  // and then moves on, which closes the old handle.
  ASSERT_TRUE(WaitForFrames([](const auto& frames) { return frames.size() >= 2; }));
  EXPECT_TRUE(WaitUntil([] { return OpenHidrawCount() == 1; }));

  received.clear();
  device.Send(Numbered("after ", 1, 20));
  WaitForFrames([&](const auto&) { return ReceivedLines().size() >= 20; });
  std::this_thread::sleep_for(50ms);
  Drain();
  EXPECT_EQ(ReceivedLines(), NumberedLines("after ", 1, 20));
  EXPECT_EQ(losses, 0);

  EXPECT_TRUE(device.Unplug());
  EXPECT_THAT(device.RecordedReports(), ElementsAre(kIdentityRequest, kIdentityRequest));
}

TEST_F(LinkE2eTest, FiftyUnplugReplugConnectCyclesLeakNoDescriptors) {
  constexpr int kCycles = 50;
  std::vector<int> descriptors;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    {
      char identifier[25];
      std::snprintf(identifier, sizeof identifier, "C0C0C0C0C0C0C0C0C0C0%04d", cycle);
      VirtualDeviceProcess device({.identifier = identifier});
      ASSERT_TRUE(link.Connect()) << "cycle " << cycle;
      ASSERT_TRUE(WaitForIdentifier(identifier)) << "cycle " << cycle;
      // Both ways out: end of input and a signal.
      if (cycle % 2 == 0) {
        device.Terminate();
      } else {
        device.EndInput();
      }
      ASSERT_EQ(device.WaitForExit(), 0) << "cycle " << cycle;
    }
    ASSERT_TRUE(WaitUntil([&] { return losses == cycle; })) << "cycle " << cycle;
    ASSERT_TRUE(WaitUntil([] { return OpenHidrawCount() == 0; })) << "cycle " << cycle;
    descriptors.push_back(OpenDescriptorCount());
  }
  std::printf("open descriptors after cycle 1: %d, after cycle %d: %d, highest: %d\n", descriptors.front(), kCycles,
              descriptors.back(), *std::max_element(descriptors.begin(), descriptors.end()));
  RecordProperty("descriptors_after_first_cycle", descriptors.front());
  RecordProperty("descriptors_after_last_cycle", descriptors.back());
  EXPECT_EQ(descriptors.back(), descriptors.front());
  EXPECT_EQ(losses, kCycles);
}

TEST_F(LinkE2eTest, WithTwoDevicesTheFirstListedIsOpened) {
  VirtualDeviceProcess one({.identifier = "AAAAAAAAAAAAAAAAAAAAAAAA"});
  VirtualDeviceProcess two({.identifier = "BBBBBBBBBBBBBBBBBBBBBBBB"});
  const auto listed = devlink::SystemHidPort().FindFirst(devlink::kVendorId, devlink::kProductId);
  ASSERT_TRUE(listed.has_value());
  const std::string first = NarrowSerial(*listed);
  ASSERT_TRUE(first == one.Serial() || first == two.Serial()) << first;

  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(WaitForIdentifier(first));
  const VirtualDeviceProcess& opened = first == one.Serial() ? one : two;
  const VirtualDeviceProcess& other = first == one.Serial() ? two : one;
  EXPECT_EQ(opened.RecordedReports().size(), 1u);
  EXPECT_TRUE(other.RecordedReports().empty());
}

// A program whose reader is blocked in a read on a device that stays plugged in still ends at
// once when its main returns.
TEST(LinkExitE2eTest, AReaderBlockedInAReadDoesNotHoldUpTheExit) {
  VirtualDeviceProcess device;
  int to_child[2];
  int from_child[2];
  ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(from_child, O_CLOEXEC), 0);
  const pid_t child = Spawn({E2E_BLOCKED_EXIT_PATH}, {{STDIN_FILENO, to_child[0]}, {STDOUT_FILENO, from_child[1]}});
  ASSERT_GT(child, 0);
  close(to_child[0]);
  close(from_child[1]);

  pollfd ready{from_child[0], POLLIN, 0};
  char line[16] = {};
  ASSERT_EQ(poll(&ready, 1, 20000), 1) << "the child did not connect";
  ASSERT_GT(read(from_child[0], line, sizeof line - 1), 0);
  ASSERT_STREQ(line, "ready\n");

  const auto asked = std::chrono::steady_clock::now();
  close(to_child[1]);
  const auto status = WaitForChild(child, 1s);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
  std::printf("exit with the reader blocked in a read took %lld ms\n", static_cast<long long>(took.count()));
  if (!status) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  close(from_child[0]);
  ASSERT_TRUE(status.has_value()) << "still running a second after it was told to exit";
  EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace e2e
