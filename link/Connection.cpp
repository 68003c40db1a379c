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
  // Asked before the handle is published, while no other thread can be inside a call on it: the
  // HID library does not allow a write and a read on one device at once. The device queues its
  // reply for this handle until the reader takes it.
  static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  opened->Write(request.data(), request.size());
  {
    std::lock_guard guard(handle_mutex_);
    DeviceHandle.swap(opened);
  }
  // The replaced handle, if any, is released here, outside the lock; it closes now unless the
  // reader is still blocked on it, in which case the reader closes it when its read returns.
  opened.reset();
  return true;
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
