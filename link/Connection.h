// The tool's one connection to the device: finding and opening it, sending the identity request,
// and the shared handle that the reader thread reads from.
#pragma once

#include <memory>
#include <mutex>

#include "DeviceIds.h"
#include "HidPort.h"
#include "ReportMailbox.h"

namespace devlink {

// Shared by every thread inside a call on the device; the last owner to let go closes it.
using DeviceRef = std::shared_ptr<HidDevice>;

class DeviceLink {
 public:
  explicit DeviceLink(HidPort& port) : port_(port) {}
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Finds the first device with the tool's vendor and product ids, opens it and asks it to
  // identify itself (a failed write is ignored). The new handle then replaces the current one;
  // the old one is closed once the reader is done with it. From then on only the reader calls
  // the device. Returns false, leaving the current device in use, when no device is listed or
  // the open fails.
  bool Connect();

  DeviceRef CurrentDevice() const {
    std::lock_guard guard(handle_mutex_);
    return DeviceHandle;
  }
  bool HasDevice() const { return CurrentDevice() != nullptr; }

  // Forgets `device` if it is still the current one and says whether it was. A failure of a
  // handle that a connect has already replaced must not throw away the newer device.
  bool ForgetDevice(const DeviceRef& device);

  ReportMailbox& Mailbox() { return mailbox_; }

 private:
  HidPort& port_;
  // Swapped and copied only under handle_mutex_, never held across a device call. (libstdc++'s
  // std::atomic<std::shared_ptr> would do the same, but ThreadSanitizer cannot see its lock.)
  mutable std::mutex handle_mutex_;
  DeviceRef DeviceHandle;  // null while no device is open
  ReportMailbox mailbox_;
};

}  // namespace devlink
