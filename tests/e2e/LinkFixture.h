// The link as the program runs it, on the real hidapi backend, with its reader, and a record of
// every frame the reader handed over.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Connection.h"
#include "HidPort.h"
#include "Read_tr.h"
#include "ReportFrame.h"
#include "VirtualDeviceProcess.h"

namespace e2e {

// The text of a LogText frame, or nothing for any other frame.
std::optional<std::string> LogTextOf(const devlink::ReportFrame& frame);
// The identifier of an IdentityReply frame in hex, or nothing for any other frame.
std::optional<std::string> IdentifierOf(const devlink::ReportFrame& frame);

class LinkTest : public ::testing::Test {
 protected:
  // Moves what the reader has posted into `received`, until `done(received)` holds.
  template <typename Predicate>
  bool WaitForFrames(Predicate done, std::chrono::milliseconds limit = 5s) {
    return WaitUntil(
        [&] {
          Drain();
          return done(received);
        },
        limit);
  }
  bool WaitForIdentifier(const std::string& identifier, std::chrono::milliseconds limit = 5s);
  std::vector<std::string> ReceivedLines() const;
  void Drain();

  devlink::DeviceLink link{devlink::SystemHidPort()};
  std::atomic<int> losses{0};
  std::vector<devlink::ReportFrame> received;

 private:
  std::vector<devlink::ReportFrame> batch_;
  // Destroyed first; its destructor waits for the read under way, so every test unplugs its
  // devices before it ends (the devices' destructors do that).
  std::unique_ptr<devlink::ReadThread> reader_ =
      std::make_unique<devlink::ReadThread>(link, [this] { losses.fetch_add(1); });
};

}  // namespace e2e
