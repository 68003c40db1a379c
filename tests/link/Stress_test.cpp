// The reader, a consumer and repeated connects, unplugs and failures running at once: meant to be
// run under ThreadSanitizer, and checking that no handle is closed while in use or leaked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Connection.h"
#include "FakeHidPort.h"
#include "Read_tr.h"

namespace devlink {
namespace {

TEST(LinkStress, ReaderConsumerAndConnectsRunTogetherSafely) {
  testing::FakeHidPort port;
  DeviceLink link{port};
  std::atomic<int> losses{0};
  std::atomic<bool> done{false};
  std::atomic<std::size_t> consumed{0};
  {
    ReadThread reader(link, [&] { ++losses; });
    std::thread device([&] {
      for (int i = 0; !done; ++i) {
        port.Send(BuildIncomingFrame(kLogText));
        if (i % 97 == 0) port.FailNextRead();
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    });
    std::thread consumer([&] {
      std::vector<ReportFrame> frames;
      while (!done) {
        link.Mailbox().TakeAll(frames);
        consumed += frames.size();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    port.Plug();
    for (int i = 0; i < 1000; ++i) {
      link.Connect();
      if (i % 50 == 49) port.Unplug();
      if (i % 50 == 10) port.Plug();
      port.SetOpenFails(i % 50 > 40);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    done = true;
    device.join();
    consumer.join();
    port.Unplug();
  }
  EXPECT_GT(consumed.load(), 0u);
  EXPECT_GT(losses.load(), 0);
  EXPECT_EQ(port.ClosedWhileBusy(), 0);
  link.ForgetDevice(link.CurrentDevice());
  EXPECT_EQ(port.LiveHandles(), 0);
  EXPECT_EQ(port.CloseCount(), port.OpenCount());
}

}  // namespace
}  // namespace devlink
