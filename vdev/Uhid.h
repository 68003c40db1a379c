// A HID device that exists for as long as this object does, created through the kernel's
// /dev/uhid: the kernel lists it like a plugged-in device and hands us what the host writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <linux/uhid.h>

namespace vdev {

struct UhidIdentity {
  std::string name;
  std::string unique;  // what HID libraries report as the serial number
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
};

class UhidDevice {
 public:
  // Throws std::system_error when /dev/uhid is missing, not accessible or refuses the device.
  UhidDevice(const UhidIdentity& identity, std::span<const std::uint8_t> descriptor);
  // Destroying the device is the unplug: the host's pending reads fail.
  ~UhidDevice();
  UhidDevice(const UhidDevice&) = delete;
  UhidDevice& operator=(const UhidDevice&) = delete;

  // For poll(): readable when an event from the kernel waits.
  int Descriptor() const { return fd_; }
  // Blocks until the kernel has an event for the device.
  uhid_event ReadEvent();
  // Sends one input report, report number included. False when the kernel refused it.
  bool SendInput(std::span<const std::uint8_t> report);
  // Refuses a GET_REPORT or SET_REPORT request, which this device does not support.
  void RefuseRequest(const uhid_event& request);

 private:
  void Write(const uhid_event& event);

  int fd_;
};

}  // namespace vdev
