#include "Connection.h"

#include "ReportFrame.h"

namespace devlink {

bool DeviceLink::Connect() {
  port_.Init();
  const auto identity = port_.FindFirst(kVendorId, kProductId);
  if (!identity) {
    return false;
  }
  DeviceRef opened = port_.Open(*identity);
  if (!opened) {
    return false;
  }
  DeviceHandle.store(std::move(opened), std::memory_order_release);
  SendIdentityRequest();
  return true;
}

void DeviceLink::SendIdentityRequest() {
  static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  if (const DeviceRef device = CurrentDevice()) {
    device->Write(request.data(), request.size());
  }
}

bool DeviceLink::ForgetDevice(const DeviceRef& device) {
  DeviceRef expected = device;
  return DeviceHandle.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
}

}  // namespace devlink
