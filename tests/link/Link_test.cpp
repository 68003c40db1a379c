// The link against a scripted device: what reaches the mailbox, what a failed read does, and
// that a handle is closed once, only when no thread is still inside a call on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Connection.h"
#include "FakeHidPort.h"
#include "Read_tr.h"

namespace devlink {
namespace {

using namespace std::chrono_literals;
using testing::FakeHidPort;

ReportFrame LogLine(const std::string& text) {
  return BuildIncomingFrame(kLogText, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string TextOf(const ReportFrame& frame) { return reinterpret_cast<const char*>(frame.data() + kPayloadOffset); }

class LinkTest : public ::testing::Test {
 protected:
  // Takes frames until `count` have arrived or a second has passed.
  std::vector<ReportFrame> Receive(std::size_t count) {
    std::vector<ReportFrame> received, batch;
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
      link.Mailbox().TakeAll(batch);
      received.insert(received.end(), batch.begin(), batch.end());
      std::this_thread::sleep_for(1ms);
    }
    return received;
  }

  bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  void TearDown() override {
    port.Unplug();  // ends any pending read so the reader can be stopped
    reader.reset();
    link.ForgetDevice(link.CurrentDevice());
    EXPECT_EQ(port.ClosedWhileBusy(), 0);
    EXPECT_EQ(port.CloseCount(), port.OpenCount()) << "every handle is closed exactly once";
  }

  FakeHidPort port;
  DeviceLink link{port};
  std::atomic<int> losses{0};
  std::unique_ptr<ReadThread> reader = std::make_unique<ReadThread>(link, [this] { ++losses; });
};

TEST_F(LinkTest, GoodFramesArriveInOrderAndBadOnesAreDropped) {
  port.Plug();
  ASSERT_TRUE(link.Connect());
  ReportFrame corrupt = LogLine("corrupt");
  corrupt[63] ^= 1;
  const ReportFrame good = LogLine("second");
  port.Send(LogLine("first"));
  port.Send(corrupt);
  port.SendBytes({good.begin(), good.begin() + 40});  // a short read: the zeroed rest fails the checksum
  port.SendBytes({});                                 // an empty read
  port.Send(good);
  const auto received = Receive(2);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(TextOf(received[0]), "first");
  EXPECT_EQ(TextOf(received[1]), "second");
  ASSERT_TRUE(port.WaitForBlockedReads(1));
  EXPECT_TRUE(Receive(1).empty());
}

TEST_F(LinkTest, AFailedReadForgetsTheDeviceAndNotifiesOnce) {
  port.Plug();
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(port.WaitForBlockedReads(1));
  port.Unplug();
  ASSERT_TRUE(WaitFor([&] { return losses == 1; }));
  EXPECT_FALSE(link.HasDevice());
  ASSERT_TRUE(WaitFor([&] { return port.LiveHandles() == 0; })) << "the reader closes the lost handle";
  std::this_thread::sleep_for(50ms);  // several idle passes
  EXPECT_EQ(losses, 1);
}

TEST_F(LinkTest, ConnectWhileOpenSwitchesToTheNewHandleAfterThePendingRead) {
  port.Plug();
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(port.WaitForBlockedReads(1));
  ASSERT_TRUE(link.Connect());
  EXPECT_EQ(port.LiveHandles(), 2) << "the first handle stays open while the reader is blocked on it";
  EXPECT_EQ(port.Written().size(), 2u);

  // Both handles receive the report; the pending read on the old one returns it, and from the
  // next pass on the reader uses the new handle and closes the old one.
  port.Send(LogLine("one"));
  ASSERT_TRUE(WaitFor([&] { return port.LiveHandles() == 1; }));
  port.Send(LogLine("two"));
  const auto received = Receive(3);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(TextOf(received[0]), "one");
  EXPECT_EQ(TextOf(received[1]), "one");
  EXPECT_EQ(TextOf(received[2]), "two");
  EXPECT_EQ(losses, 0);
}

TEST_F(LinkTest, AFailedReopenKeepsTheWorkingDevice) {
  port.Plug();
  ASSERT_TRUE(link.Connect());
  const DeviceRef working = link.CurrentDevice();
  port.SetOpenFails(true);
  EXPECT_FALSE(link.Connect());
  EXPECT_EQ(link.CurrentDevice(), working);
  port.Send(LogLine("still here"));
  ASSERT_EQ(Receive(1).size(), 1u);
}

TEST_F(LinkTest, AFailureOfAReplacedHandleKeepsTheNewOne) {
  port.Plug();
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(port.WaitForBlockedReads(1));
  ASSERT_TRUE(link.Connect());
  const DeviceRef replacement = link.CurrentDevice();
  port.FailBlockedReads();
  ASSERT_TRUE(WaitFor([&] { return port.LiveHandles() == 1 && port.BlockedReads() == 1; }));
  EXPECT_EQ(link.CurrentDevice(), replacement);
  EXPECT_EQ(losses, 0);
  port.Send(LogLine("new handle"));
  ASSERT_EQ(Receive(1).size(), 1u);
}

TEST(Mailbox, AFullQueueDropsNewFramesAndCountsThem) {
  ReportMailbox mailbox;
  for (std::size_t i = 0; i < ReportMailbox::kCapacity; ++i) {
    ASSERT_TRUE(mailbox.Post(BuildIncomingFrame(kLogText)));
  }
  EXPECT_FALSE(mailbox.Post(BuildIncomingFrame(kIdentityReply)));
  EXPECT_EQ(mailbox.DroppedCount(), 1u);
  std::vector<ReportFrame> frames;
  ASSERT_TRUE(mailbox.TakeAll(frames));
  EXPECT_EQ(frames.size(), ReportMailbox::kCapacity);
  EXPECT_TRUE(mailbox.Post(BuildIncomingFrame(kIdentityReply)));
}

}  // namespace
}  // namespace devlink
