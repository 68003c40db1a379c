// The link against scripted units: which unit a connect leaves in use, that every good frame
// reaches the mailbox exactly once, and that only the reader calls into the HID library, one
// call at a time on each handle. These run again under ThreadSanitizer.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <atomic>
#include <numeric>
#include <string>

#include "Connection.h"
#include "FakeHidPort.h"
#include "HidapiPort.h"
#include "Read_tr.h"
#include "UnitFleet.h"

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

  // Waits until the mailbox holds something, and takes it all.
  std::vector<LinkEvent> Take() {
    std::vector<LinkEvent> events;
    EXPECT_TRUE(port.WaitFor([&] { return link.Mailbox().TakeAll(events) && !events.empty(); }));
    return events;
  }
  // Waits for the next event of this kind, passing over reports.
  template <typename Event>
  Event Next() {
    for (int tries = 0; tries < 10; ++tries) {
      for (LinkEvent& event : Take()) {
        if (auto* wanted = std::get_if<Event>(&event)) return std::move(*wanted);
      }
    }
    ADD_FAILURE() << "no such event";
    return {};
  }

  FakeHidPort port;
  DeviceLink link{port};
  std::unique_ptr<ReadThread> reader = std::make_unique<ReadThread>(link);
};

// The reader must not stay in a read on the old unit: the new one's reply would wait until the old
// one sends something, and what the old one sends from now on is not the new unit's.
TEST_F(LinkTest, AConnectSwitchesToTheUnitListedFirstUnlessItCannotBeOpened) {
  port.Plug();
  link.Connect();
  EXPECT_EQ(Next<Connected>().unit.path, FakeHidPort::kUnit);
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
  port.Plug(kOther, /*first=*/true);
  port.SetOpenFails(true);
  link.Connect();
  const ConnectFailed failed = Next<ConnectFailed>();
  EXPECT_EQ(failed.unit, kOther);
  EXPECT_EQ(failed.error, std::errc::permission_denied);
  port.Send(Numbered(1));
  EXPECT_EQ(NumberOf(std::get<ReceivedReport>(Take().at(0)).frame), 1u) << "a failed open gave up the working unit";

  port.SetOpenFails(false);
  link.Connect();
  const Connected switched = Next<Connected>();
  EXPECT_EQ(switched.unit.path, kOther);
  EXPECT_FALSE(switched.kept);
  ASSERT_TRUE(port.WaitFor([&] { return port.Asked().size() == 2 && port.WaitingReads() == 1; }));
  EXPECT_EQ(port.Asked()[1], kOther);
  EXPECT_EQ(port.LiveHandles(), 1) << "the replaced handle stayed open";
  port.Send(Numbered(2), FakeHidPort::kUnit);
  port.Send(Numbered(3), kOther);
  const std::vector<LinkEvent> taken = Take();
  ASSERT_EQ(taken.size(), 1u) << "the unit no longer in use was still read";
  EXPECT_EQ(NumberOf(std::get<ReceivedReport>(taken[0]).frame), 3u);
}

// A connect returns at once while the reader is held up in a write, even where opening a unit
// has to wait for every write under way; what was asked meanwhile is carried out once, after it.
TEST_F(LinkTest, AConnectNeverWaitsForTheDeviceAndRepeatedOnesAreCarriedOutOnce) {
  port.SetWriteTime(5s);
  port.Plug();
  link.Connect();
  ASSERT_TRUE(port.WaitFor([&] { return port.WritesUnderWay() == 1; }));
  port.Plug(kOther, /*first=*/true);
  for (int i = 0; i < 3; ++i) link.Connect();
  EXPECT_EQ(port.WritesUnderWay(), 1) << "a connect waited for the write";
  port.SetWriteTime(0ms);
  port.Unplug();  // ends the write
  EXPECT_TRUE(port.WaitFor([&] { return port.Asked() == std::vector<std::string>{kOther}; }));
  EXPECT_EQ(port.Opens(), 2);
}

// The unit streams numbered frames, now and then a corrupt or short one, and refuses every
// identity request, while the operator connects again and again: the unit stays in use on its one
// handle, and each good frame arrives once, in order.
TEST_F(LinkTest, EveryFrameArrivesOnceAcrossRepeatedConnectsToAUnitThatRefusesThem) {
  constexpr std::uint32_t kFrames = 3000;
  constexpr int kConnects = 100;
  port.SetWritesFail(true);
  port.Plug();
  link.Connect();
  ASSERT_TRUE(port.WaitFor([&] { return port.WaitingReads() == 1; }));
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
    for (int i = 0; i < kConnects; ++i, std::this_thread::sleep_for(500us)) link.Connect();
  });
  std::vector<std::uint32_t> numbers;
  EXPECT_TRUE(port.WaitFor([&] {
    std::vector<LinkEvent> events;
    link.Mailbox().TakeAll(events);
    for (const LinkEvent& event : events) {
      if (const auto* report = std::get_if<ReceivedReport>(&event)) numbers.push_back(NumberOf(report->frame));
    }
    return numbers.size() >= kFrames;
  })) << numbers.size() << " of " << kFrames << " frames arrived";
  std::vector<std::uint32_t> expected(kFrames);
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_TRUE(numbers == expected) << "frames repeated or out of order";
  EXPECT_EQ(link.Mailbox().DroppedCount(), 0u);
  EXPECT_EQ(port.Opens(), 1) << "the unit was opened anew";
}

// A unit whose node another has taken is never opened in its place, even before the news of it.
TEST(Fleet, NeverOpensTheUnitThatTookAListedUnitsNode) {
  FakeHidPort port;
  port.Plug();
  UnitFleet fleet(port, port);
  std::vector<LinkEvent> events;
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(5); };
  ASSERT_TRUE(fleet.Next({}, soon(), events) && !events.empty());
  const ListedUnit listed = std::get<UnitsPresent>(events.front()).units.at(0);
  port.Replace();
  fleet.Follow(listed);
  ASSERT_TRUE(fleet.Next({}, soon(), events) && !events.empty());
  EXPECT_TRUE(std::holds_alternative<ConnectFailed>(events.front()));
  EXPECT_EQ(port.LiveHandles(), 0);
}

// A session's reports beyond its own share are dropped, for that session alone, and told where
// the drops began; an identity reply and the news of the link never are.
TEST(Mailbox, AFullSessionDropsOnlyItsOwnReportsAndTellsWhereTheDropsBegan) {
  ReportMailbox mailbox(2);
  const auto report = [](Session session, std::uint8_t code) { return ReceivedReport{BuildIncomingFrame(code), {}, session}; };
  for (int i = 0; i < 4; ++i) mailbox.PostReport(report(1, kLogText));
  mailbox.PostReport(report(2, kLogText));
  mailbox.PostReport(report(1, kIdentityReply), true);
  mailbox.Post(Lost{"/dev/hidraw-a", {}, 1});
  std::vector<LinkEvent> events;
  ASSERT_TRUE(mailbox.TakeAll(events));
  std::string seen;
  for (const LinkEvent& event : events) {
    const auto* kept = std::get_if<ReceivedReport>(&event);
    const auto* dropped = std::get_if<Dropped>(&event);
    seen += kept ? std::to_string(kept->session) : dropped ? "-" + std::to_string(dropped->count) : "news";
  }
  EXPECT_EQ(seen, "11-221news");
  EXPECT_EQ(mailbox.DroppedCount(), 2u);
}

// Some supervisors and shells start their children with SIGCHLD ignored: the kernel then reaps the
// request writer before anyone can ask how it ended, and the request must count as taken all the same.
TEST(HidapiPort, ARequestWrittenWithSigchldIgnoredCountsAsTaken) {
  const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  const auto before = signal(SIGCHLD, SIG_IGN);
  const int written = SystemHidPort().SendReport("/dev/null", request.data(), request.size());
  signal(SIGCHLD, before);
  EXPECT_EQ(written, static_cast<int>(request.size()));
  EXPECT_LT(SystemHidPort().SendReport("/nonexistent", request.data(), request.size()), 0);
}

TEST(HidapiPort, ListsUnitsInOrderLeavingOutThoseWithoutAPath) {
  const auto entry = [](char* path, int interface, hid_device_info* next) {
    hid_device_info listed{};
    listed.path = path;
    listed.interface_number = interface;
    listed.next = next;
    listed.bus_type = HID_API_BUS_USB;
    return listed;
  };
  wchar_t serial[] = L"SN\u00E91";
  char first[] = "/dev/hidraw7", second[] = "/dev/hidraw2";
  hid_device_info virtual_unit = entry(second, -1, nullptr);
  hid_device_info pathless = entry(nullptr, 0, &virtual_unit);
  hid_device_info usb_unit = entry(first, 0, &pathless);
  usb_unit.serial_number = serial;
  const std::vector<ListedUnit> units = ListedUnits(&usb_unit);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].path, first);
  EXPECT_EQ(units[0].serial, "SN\xC3\xA9" "1");
  EXPECT_TRUE(units[0].usb);
  EXPECT_EQ(units[1].path, second);
  EXPECT_EQ(units[1].serial, "");
  EXPECT_FALSE(units[1].usb);
}

}  // namespace
}  // namespace devlink
