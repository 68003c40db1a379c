// The narrow seam between the link and the HID library: just the calls the link makes.
// The real implementation (HidapiPort) talks to hidapi; tests put a scripted device behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace devlink {

// One open device. The link calls it from one thread at a time, the reader's, and destroys it
// (which closes it) on that thread too.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // Waits at most `timeout` for a report: bytes read, 0 when none came, negative when the device
  // failed.
  virtual int Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds timeout) = 0;
  // Returns bytes written, or negative on failure. May block while the device does not take it.
  virtual int Write(const std::uint8_t* data, std::size_t length) = 0;
};

class HidPort {
 public:
  virtual ~HidPort() = default;
  // Safe to call on every connect.
  virtual void Init() = 0;
  // The system path of the first device listed with these ids, if any: it names that very device,
  // and tells whether it is the one already open.
  virtual std::optional<std::string> FindFirst(std::uint16_t vendor_id, std::uint16_t product_id) = 0;
  // Null when the device cannot be opened.
  virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
};

// The process's hidapi-backed port.
HidPort& SystemHidPort();

}  // namespace devlink
