// The narrow seam between the link and the HID library: just the calls the link makes.
// The real implementation (HidapiPort) talks to hidapi; tests put a scripted device behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace devlink {

// One open device. The link calls it from one thread at a time, the reader's, and destroys it
// (which closes it) on that thread too.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // Waits at most `timeout` for a report, or for as long as it takes when `timeout` is negative:
  // bytes read, 0 when none came, negative when the device failed.
  virtual int Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds timeout) = 0;
  // Returns bytes written, or negative on failure. May block while the device does not take it.
  virtual int Write(const std::uint8_t* data, std::size_t length) = 0;
};

// A device as the system lists it.
struct ListedUnit {
  std::string path;    // the system path, such as /dev/hidraw3: names that very device
  std::string serial;  // its serial number in UTF-8; empty when it has none
  bool usb = false;    // on USB; otherwise a virtual device with no USB underneath
  // The system's own name for this very device while it is plugged in (its sysfs path), where the
  // listing gives one: the node is given to the next device as soon as this one goes, the name
  // never is.
  std::string instance;
};

class HidPort {
 public:
  virtual ~HidPort() = default;
  // Safe to call before every listing.
  virtual void Init() = 0;
  // Every device listed with these ids, in the system's order.
  virtual std::vector<ListedUnit> List(std::uint16_t vendor_id, std::uint16_t product_id) = 0;
  // Null when the device cannot be opened; `error` then says why, where the system told.
  virtual std::unique_ptr<HidDevice> Open(const std::string& path, std::error_code& error) = 0;
  // Opens the device at `path` for reading only and without blocking, for a reader that waits on
  // many devices at once: a descriptor that the caller owns, readable while a report waits. Each
  // read() takes one report, fails with EAGAIN while none waits, and returns 0 or fails otherwise
  // once the device has gone. -1 when the device cannot be opened; `error` then says why.
  virtual int OpenForReading(const std::string& path, std::error_code& error) = 0;
  // Writes one output report to the device at `path` through a handle of its own, in a process
  // of its own: a device that does not take reports holds the write up for the kernel's 5 s, and
  // a process whose thread is inside such a write cannot end before it does. Every open handle of
  // the device gets the reply. Returns bytes written, or negative on failure.
  virtual int SendReport(const std::string& path, const std::uint8_t* data, std::size_t length) = 0;
};

// The process's hidapi-backed port.
HidPort& SystemHidPort();

}  // namespace devlink
