// The link against scripted units: which unit a connect leaves in use, that every good frame
// reaches the mailbox exactly once, and that a handle is called by one thread at a time and
// closed once no call runs on it. These run again under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <string>

#include "Connection.h"
#include "FakeHidPort.h"
#include "Read_tr.h"

namespace devlink {
namespace {

using namespace std::chrono_literals;
using testing::FakeHidPort;

constexpr char kOther[] = "/dev/hidraw-b";

ReportFrame Numbered(std::uint32_t number) {
  return BuildIncomingFrame(kLogText, std::array{std::uint8_t(number), std::uint8_t(number >> 8)});
}
std::uint32_t NumberOf(const ReportFrame& frame) { return frame[kPayloadOffset] | frame[kPayloadOffset + 1] << 8; }

class LinkTest : public ::testing::Test {
 protected:
  // The reader forgets an unplugged unit and closes its handle; only then can it stop.
  void TearDown() override {
    port.Unplug();
    port.Unplug(kOther);
    EXPECT_TRUE(port.WaitFor([&] { return port.LiveHandles() == 0; }));
    reader.reset();
    EXPECT_EQ(port.Misuses(), 0);
  }

  // Waits until the mailbox holds frames, and takes them.
  std::vector<ReportFrame> Take() {
    std::vector<ReportFrame> frames;
    EXPECT_TRUE(port.WaitFor([&] { return link.Mailbox().TakeAll(frames) && !frames.empty(); }));
    return frames;
  }

  FakeHidPort port;
  DeviceLink link{port};
  std::atomic<int> losses{0};
  std::unique_ptr<ReadThread> reader = std::make_unique<ReadThread>(link, [this] { ++losses; });
};

// The reader must not stay in a read on the old unit: the new one's reply would wait until the old
// one sends something, and what the old one sends from now on is not the new unit's.
TEST_F(LinkTest, AConnectSwitchesToTheUnitListedFirstUnlessItCannotBeOpened) {
  port.Plug();
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
  port.Plug(kOther, /*first=*/true);
  port.SetOpenFails(true);
  EXPECT_FALSE(link.Connect());
  port.Send(Numbered(1));
  EXPECT_EQ(NumberOf(Take().at(0)), 1u) << "a failed open gave up the working unit";

  port.SetOpenFails(false);
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(port.WaitFor([&] { return port.Asked().size() == 2; }));
  EXPECT_EQ(port.Asked()[1], kOther);
  port.Send(Numbered(2), kOther);
  EXPECT_EQ(NumberOf(Take().at(0)), 2u);
  EXPECT_TRUE(port.WaitFor([&] { return port.LiveHandles() == 1; })) << "the replaced handle stayed open";

  // Back to the first unit while the reader is in a read on the other one.
  port.Unplug();
  port.Plug(FakeHidPort::kUnit, /*first=*/true);
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
  ASSERT_TRUE(link.Connect());
  port.Send(Numbered(3), kOther);
  port.Send(Numbered(4));
  const std::vector<ReportFrame> taken = Take();
  ASSERT_EQ(taken.size(), 1u) << "the unit no longer in use was still read";
  EXPECT_EQ(NumberOf(taken[0]), 4u);
  EXPECT_EQ(losses, 0);
}

// A connect returns at once, even while a slow device holds up the reader in a write, and leaves
// closing to the reader, also for a handle that the reader has not called yet.
TEST_F(LinkTest, AConnectNeitherWaitsForTheDeviceNorClosesAHandle) {
  port.SetWriteTime(5s);
  port.Plug();
  ASSERT_TRUE(link.Connect());
  ASSERT_TRUE(port.WaitFor([&] { return port.WritesUnderWay() == 1; })) << "the connect waited for the write";
  for (const char* unit : {kOther, "/dev/hidraw-c"}) {
    port.Plug(unit, /*first=*/true);
    ASSERT_TRUE(link.Connect());
  }
  EXPECT_EQ(port.LiveHandles(), 3);
  port.Unplug();  // ends the write
  EXPECT_TRUE(port.WaitFor([&] { return port.LiveHandles() == 1; }));
  port.Unplug("/dev/hidraw-c");
}

// The unit streams numbered frames, now and then a corrupt or short one, while the operator
// connects again and again: each good frame arrives once, in order.
TEST_F(LinkTest, EveryFrameArrivesOnceAcrossRepeatedConnects) {
  constexpr std::uint32_t kFrames = 3000;
  constexpr int kConnects = 100;
  port.Plug();
  ASSERT_TRUE(link.Connect());
  std::jthread device([&] {
    for (std::uint32_t i = 0; i < kFrames; std::this_thread::sleep_for(20us)) {
      ReportFrame frame = Numbered(i);
      if (i % 89 == 7) {
        frame[kChecksumOffset] ^= 1;
        port.Send(frame);
      } else if (i % 83 == 5) {
        port.Send(frame, FakeHidPort::kUnit, kChecksumOffset);
      }
      port.Send(Numbered(i++));
    }
  });
  std::jthread operator_thread([&] {
    for (int i = 0; i < kConnects; ++i, std::this_thread::sleep_for(500us)) EXPECT_TRUE(link.Connect());
  });
  std::vector<std::uint32_t> numbers;
  EXPECT_TRUE(port.WaitFor([&] {
    std::vector<ReportFrame> frames;
    link.Mailbox().TakeAll(frames);
    for (const ReportFrame& frame : frames) numbers.push_back(NumberOf(frame));
    return numbers.size() >= kFrames;
  })) << numbers.size() << " of " << kFrames << " frames arrived";
  std::vector<std::uint32_t> expected(kFrames);
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_TRUE(numbers == expected) << "frames repeated or out of order";
  EXPECT_EQ(link.Mailbox().DroppedCount(), 0u);
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
