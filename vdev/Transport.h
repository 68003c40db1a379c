// How the virtual device reaches the host's kernel. A transport exists plugged in: creating it
// plugs the device in, destroying it pulls it out, and the host's pending reads then fail.
#pragma once

#include <linux/uhid.h>

#include <cstdint>
#include <memory>
#include <optional>
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
  // Pulls the device out before the transport goes, so that a failure can end the run as one;
  // throws saying what is left. Destroying the transport pulls out whatever this did not.
  virtual void Unplug() {}
};

// The product names the host lists for the virtual device.
inline constexpr char kManufacturer[] = "Tavrix";
inline constexpr char kProduct[] = "Omrin M3 (virtual)";

// The longest serial number the host keeps whole: the HID core holds it in 64 bytes with its
// terminating zero, whether it comes through uhid or from usbhid reading the USB string
// descriptor (which itself holds 126 characters). The device's node is found by its serial.
inline constexpr std::size_t kSerialLimit = sizeof(uhid_create2_req::uniq) - 1;

// The host's hidraw node for the HID device with this serial number, once the host lists it.
std::optional<std::string> HidrawNodeOf(const std::string& serial);
// Throws when a device that the host lists already has this serial number, so that the node
// found for the new device is never another's.
void RefuseUsedSerial(const std::string& serial);
// One line on standard error. Throws when it cannot be written (a closed terminal or pipe), which
// ends the run like a signal does.
void Say(const std::string& line);

// A device created through /dev/uhid: no USB underneath, so only the HID layer sees it.
std::unique_ptr<Transport> PlugUhid(const std::string& serial);
// A USB gadget on the kernel's virtual host controller (dummy_hcd): enumerated by usbcore and
// usbhid like the real device. Removes the gadgets that earlier, killed runs left behind.
std::unique_ptr<Transport> PlugUsbGadget(const std::string& serial);

}  // namespace vdev
