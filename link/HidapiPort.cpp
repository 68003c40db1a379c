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

  int Read(std::uint8_t* buffer, std::size_t length) override { return hid_read(device_, buffer, length); }
  int Write(const std::uint8_t* data, std::size_t length) override { return hid_write(device_, data, length); }

 private:
  hid_device* const device_;
};

class HidapiPort final : public HidPort {
 public:
  void Init() override { hid_init(); }

  std::optional<DeviceIdentity> FindFirst(std::uint16_t vendor_id, std::uint16_t product_id) override {
    // No filtering on bus type or interface: virtual (uhid) devices report 0 and -1 there.
    hid_device_info* list = hid_enumerate(vendor_id, product_id);
    if (list == nullptr) {
      return std::nullopt;
    }
    DeviceIdentity first{list->vendor_id, list->product_id, std::nullopt};
    if (list->serial_number != nullptr) {
      first.serial = list->serial_number;
    }
    hid_free_enumeration(list);
    return first;
  }

  std::unique_ptr<HidDevice> Open(const DeviceIdentity& identity) override {
    hid_device* device =
        hid_open(identity.vendor_id, identity.product_id, identity.serial ? identity.serial->c_str() : nullptr);
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
