// The narrow seam between the link and the HID library: just the calls the link makes.
// The real implementation (HidapiPort) talks to hidapi; tests put a scripted device behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace devlink {

// What enumeration tells about the first matching device, enough to open that very device.
struct DeviceIdentity {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::optional<std::wstring> serial;  // absent when the device reports none
};

// One open device. Destroying it closes it; the link guarantees no call is still running then.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // Blocks until a report arrives: bytes read, 0 for nothing, negative when the device failed.
  virtual int Read(std::uint8_t* buffer, std::size_t length) = 0;
  // Returns bytes written, or negative on failure.
  virtual int Write(const std::uint8_t* data, std::size_t length) = 0;
};

class HidPort {
 public:
  virtual ~HidPort() = default;
  // Safe to call on every connect.
  virtual void Init() = 0;
  // The first device listed with these ids, if any.
  virtual std::optional<DeviceIdentity> FindFirst(std::uint16_t vendor_id, std::uint16_t product_id) = 0;
  // Null when the device cannot be opened.
  virtual std::unique_ptr<HidDevice> Open(const DeviceIdentity& identity) = 0;
};

// The process's hidapi-backed port.
HidPort& SystemHidPort();

}  // namespace devlink
