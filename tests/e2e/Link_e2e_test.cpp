// The link on the real hidapi backend against a virtual device on the real kernel HID stack:
// descriptors over many plug cycles and the choice between two devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Connection.h"
#include "DeviceProtocol.h"
#include "HidPort.h"
#include "Read_tr.h"
#include "ReportFrame.h"
#include "VirtualDeviceProcess.h"

namespace e2e {
namespace {

std::string NarrowSerial(const devlink::DeviceIdentity& identity) {
  const std::wstring& wide = identity.serial.value_or(L"");
  return {wide.begin(), wide.end()};
}

// The link as the program runs it, with its reader, counting the losses it reports.
class LinkE2eTest : public ::testing::Test {
 protected:
  // Whether an identity reply with this identifier reaches the mailbox within five seconds.
  bool WaitForIdentifier(const std::string& identifier) {
    std::vector<devlink::ReportFrame> frames;
    return WaitUntil([&] {
      link.Mailbox().TakeAll(frames);
      return std::any_of(frames.begin(), frames.end(), [&](const devlink::ReportFrame& frame) {
        return devlink::FrameHeader(frame) == devlink::kIdentityReplyHeader &&
               vdev::FormatHex(std::span(frame).subspan(6, 12)) == identifier;
      });
    });
  }

  devlink::DeviceLink link{devlink::SystemHidPort()};
  std::atomic<int> losses{0};
  // Destroyed first; its destructor waits for the read under way, so every test unplugs its
  // devices before it ends (the devices' destructors do that).
  std::unique_ptr<devlink::ReadThread> reader = std::make_unique<devlink::ReadThread>(link, [this] { ++losses; });
};

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

}  // namespace
}  // namespace e2e
