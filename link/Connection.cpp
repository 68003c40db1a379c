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
  {
    std::lock_guard guard(handle_mutex_);
    DeviceHandle.swap(opened);
  }
  // The replaced handle, if any, is released here, outside the lock; it closes now unless the
  // reader is still blocked on it, in which case the reader closes it when its read returns.
  opened.reset();
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
  DeviceRef forgotten;
  {
    std::lock_guard guard(handle_mutex_);
    if (DeviceHandle != device) {
      return false;
    }
    forgotten.swap(DeviceHandle);
  }
  return true;
}

}  // namespace devlink
