// How the virtual device reaches the host's kernel. A transport exists plugged in: creating it
// plugs the device in, destroying it pulls it out, and the host's pending reads then fail.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ReportFrame.h"

namespace vdev {

// What the kernel had for the device.
struct HostEvent {
  enum class Kind { kNothing, kOpened, kReport };
  Kind kind = Kind::kNothing;
  std::vector<std::uint8_t> report;  // kReport: what the tool wrote, report number first
  bool output_report = true;         // kReport: false when it came as a feature report
  std::string complaint;             // a request the device refused, in words; empty if none
};

class Transport {
 public:
  virtual ~Transport() = default;

  // For poll(): readable when the kernel has an event, writable when a report can be sent.
  virtual int Descriptor() const = 0;
  // Takes one event; call when the descriptor is readable.
  virtual HostEvent Read() = 0;
  // Sends one input report; false when it cannot go yet (retry once the descriptor is writable).
  // Throws when the kernel refuses it.
  virtual bool Send(const devlink::ReportFrame& frame) = 0;
  // Every report sent has reached the host; a gadget holds the last one until the host polls.
  virtual bool Delivered() const { return true; }
};

// The product names the host lists for the virtual device.
inline constexpr char kManufacturer[] = "Tavrix";
inline constexpr char kProduct[] = "Omrin M3 (virtual)";

// A device created through /dev/uhid: no USB underneath, so only the HID layer sees it.
std::unique_ptr<Transport> PlugUhid(const std::string& serial);
// A USB gadget on the kernel's virtual host controller (dummy_hcd): enumerated by usbcore and
// usbhid like the real device. Removes a gadget that an earlier, killed run left behind.
std::unique_ptr<Transport> PlugUsbGadget(const std::string& serial);

}  // namespace vdev
