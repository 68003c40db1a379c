// The virtual Tavrix Omrin M3: answers identity requests, sends log lines, and judges and records
// what the tool writes. It serves whichever transport plugs it in; the caller runs the poll loop.
#pragma once

#include <poll.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "DeviceProtocol.h"
#include "Fd.h"
#include "TextConverter.h"
#include "Transport.h"

namespace vdev {

struct DeviceOptions {
  Identifier identifier = *ParseIdentifier("544156524958000000000001");
  std::optional<std::string> serial;  // the identifier in hex when absent
  bool usb = false;                   // a USB gadget rather than a uhid device
  unsigned long count = 0;            // once opened, "Log line 1" .. "Log line N"
  std::chrono::milliseconds interval{100};
  std::optional<std::string> greeting;  // a log line right after every identity reply
  std::optional<std::string> record;    // a file for every report the tool writes, in hex
};

class VirtualDevice {
 public:
  // Prepares everything that can fail, then plugs the device in and waits until the host lists
  // it, so that a bad option never makes a device flicker. Throws with the reason, leaving the
  // record file as it was, or gone if this run made it; empties it once the device is listed.
  explicit VirtualDevice(const DeviceOptions& options);

  // The host's node for the device, such as /dev/hidraw3.
  const std::string& Node() const { return node_; }

  // For poll(): the device, and the timer of the counted series.
  pollfd DevicePoll() const;
  int SeriesTimer() const { return series_.get(); }
  void OnDevice(short revents);
  void OnSeriesTimer();

  // Sends a line of UTF-8 text as a log line, in code page 1251 and cut at 55 bytes. Lines wait
  // until the tool has opened the device: the kernel drops reports that nobody reads.
  void SendLine(std::string_view utf8);
  // The host has opened the device.
  bool HostOpened() const { return opened_; }
  // Nothing is left to send, the series included.
  bool Done() const { return queue_.empty() && sent_in_series_ == options_.count; }
  // Everything sent has reached the host.
  bool Delivered() const { return transport_->Delivered(); }
  // Pulls the device out; throws saying what is left when it cannot.
  void Unplug() { transport_->Unplug(); }

 private:
  void MarkOpened();
  void HandleToolReport(const HostEvent& event);
  void Queue(const devlink::ReportFrame& frame);
  void Flush();

  const DeviceOptions options_;
  Fd record_;
  Fd series_;
  devlink::TextConverter encoder_ = devlink::Cp1251Encoder();
  bool opened_ = false;
  unsigned long sent_in_series_ = 0;
  unsigned long reports_received_ = 0;
  std::deque<devlink::ReportFrame> queue_;  // waiting for the open, or for the transport
  // Last: plugged in once everything above exists, and pulled out before any of it goes.
  std::unique_ptr<Transport> transport_;
  std::string node_;
};

}  // namespace vdev
