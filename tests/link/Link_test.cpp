// The link against a scripted device: what reaches the mailbox, what a failed read does, and
// that a handle is called by one thread at a time and closed once no call runs on it. These run
// again under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Connection.h"
#include "FakeHidPort.h"
#include "Read_tr.h"

namespace devlink {
namespace {

using namespace std::chrono_literals;

class LinkTest : public ::testing::Test {
 protected:
  void Connected() {
    port.Plug();
    ASSERT_TRUE(link.Connect());
    ASSERT_TRUE(port.WaitFor([&] { return port.BlockedReads() == 1; }));
  }

  void TearDown() override {
    port.Unplug();  // ends any pending read so the reader can be stopped
    reader.reset();
    link.ForgetDevice(link.CurrentDevice());
    EXPECT_EQ(port.Misuses(), 0);
    EXPECT_EQ(port.LiveHandles(), 0) << "a handle was never closed";
  }

  testing::FakeHidPort port;
  DeviceLink link{port};
  std::atomic<int> losses{0};
  std::unique_ptr<ReadThread> reader = std::make_unique<ReadThread>(link, [this] { ++losses; });
};

TEST_F(LinkTest, AFailedReopenOrAFailureOfAReplacedHandleKeepsTheWorkingDevice) {
  Connected();
  const HidDevice* working = link.CurrentDevice().get();
  port.SetOpenFails(true);
  EXPECT_FALSE(link.Connect());
  EXPECT_EQ(link.CurrentDevice().get(), working);
  port.SetOpenFails(false);
  ASSERT_TRUE(link.Connect());
  const HidDevice* replacement = link.CurrentDevice().get();
  port.Send({}, /*fail=*/true, /*only_busy=*/true);  // only the replaced handle's read fails
  ASSERT_TRUE(port.WaitFor([&] { return port.LiveHandles() == 1 && port.BlockedReads() == 1; }));
  EXPECT_EQ(link.CurrentDevice().get(), replacement);
  EXPECT_EQ(losses, 0);
  port.Unplug();
  ASSERT_TRUE(port.WaitFor([&] { return losses == 1 && !link.HasDevice(); }));
}

TEST_F(LinkTest, TheRequestIsWrittenBeforeTheReaderCanReadTheNewHandle) {
  port.SetSlowWrites();
  Connected();
  EXPECT_EQ(port.Written().size(), 1u);
}

// The device sends frames, now and then a corrupt, short, empty or failed one, while the operator
// connects again and again and the cable comes and goes. The consumer takes good frames only.
TEST_F(LinkTest, ReaderConsumerAndConnectsRunTogetherSafely) {
  std::atomic<bool> done{false};
  std::atomic<int> consumed{0};
  std::jthread device([&] {
    for (int i = 0; !done; ++i, std::this_thread::sleep_for(20us)) {
      ReportFrame frame = BuildIncomingFrame(kLogText, std::vector{static_cast<std::uint8_t>(i)});
      frame[63] ^= i % 89 == 0;
      port.Send({frame.begin(), frame.begin() + (i % 83 == 0 ? 40 : i % 79 == 0 ? 0 : 64)}, i % 97 == 0);
    }
  });
  std::jthread consumer([&] {
    for (std::vector<ReportFrame> frames; !done; std::this_thread::sleep_for(200us)) {
      link.Mailbox().TakeAll(frames);
      for (const ReportFrame& frame : frames) EXPECT_TRUE(IsValidFrame(frame));
      consumed += static_cast<int>(frames.size());
    }
  });
  for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(300us)) {
    port.Plug(i % 50 < 49 && (i % 50 > 10 || i < 50));
    port.SetOpenFails(i % 50 > 40);
    link.Connect();
  }
  done = true;
  EXPECT_GT(consumed.load(), 0);
  EXPECT_GT(losses.load(), 0);
}

TEST(Mailbox, AFullQueueDropsNewFramesAndCountsThem) {
  ReportMailbox mailbox;
  std::vector<ReportFrame> frames;
  for (std::size_t i = 0; i <= ReportMailbox::kCapacity; ++i) mailbox.Post(BuildIncomingFrame(kLogText));
  ASSERT_TRUE(mailbox.TakeAll(frames));
  EXPECT_EQ(frames.size(), ReportMailbox::kCapacity);
  EXPECT_EQ(mailbox.DroppedCount(), 1u);
}

}  // namespace
}  // namespace devlink
