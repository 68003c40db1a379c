// The only file that includes hidapi: the real device calls behind HidPort.
#include <hidapi/hidapi.h>

#include "HidPort.h"

namespace devlink {
namespace {

class HidapiDevice final : public HidDevice {
 public:
  explicit HidapiDevice(hid_device* device) : device_(device) {}
  ~HidapiDevice() override { hid_close(device_); }
  HidapiDevice(const HidapiDevice&) = delete;
  HidapiDevice& operator=(const HidapiDevice&) = delete;

  int Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds timeout) override {
    return hid_read_timeout(device_, buffer, length, static_cast<int>(timeout.count()));
  }
  int Write(const std::uint8_t* data, std::size_t length) override { return hid_write(device_, data, length); }

 private:
  hid_device* const device_;
};

class HidapiPort final : public HidPort {
 public:
  void Init() override { hid_init(); }

  std::optional<std::string> FindFirst(std::uint16_t vendor_id, std::uint16_t product_id) override {
    // No filtering on bus type or interface: virtual (uhid) devices report 0 and -1 there.
    hid_device_info* list = hid_enumerate(vendor_id, product_id);
    if (list == nullptr) {
      return std::nullopt;
    }
    std::string first = list->path;
    hid_free_enumeration(list);
    return first;
  }

  std::unique_ptr<HidDevice> Open(const std::string& path) override {
    // By path rather than by ids and serial number, which two units may share: this opens the very
    // device that was listed.
    hid_device* device = hid_open_path(path.c_str());
    if (device == nullptr) {
      return nullptr;
    }
    return std::make_unique<HidapiDevice>(device);
  }
};

}  // namespace

HidPort& SystemHidPort() {
  // Never destroyed: the reader may still be inside a call when the process exits.
  static auto* port = new HidapiPort;
  return *port;
}

}  // namespace devlink
