#include "Connection.h"

#include <utility>

namespace devlink {

bool DeviceLink::Connect() {
  port_.Init();
  const std::optional<std::string> path = port_.FindFirst(kVendorId, kProductId);
  if (!path) {
    return false;
  }
  {
    // The same device opened a second time would deliver every report to both handles.
    std::lock_guard guard(mutex_);
    if (DeviceHandle && *path == path_ && !dead_) {
      request_ = Request::kIdentifyKeptHandle;
      return true;
    }
  }
  DeviceRef opened = port_.Open(*path);
  if (!opened) {
    return false;
  }
  std::lock_guard guard(mutex_);
  if (DeviceHandle) {
    replaced_.push_back(std::move(DeviceHandle));
  }
  DeviceHandle = std::move(opened);
  path_ = *path;
  request_ = Request::kIdentify;
  dead_ = reopen_ = false;
  connected_.notify_all();
  return true;
}

bool DeviceLink::TakeReopenRequest() {
  std::lock_guard guard(mutex_);
  return std::exchange(reopen_, false);
}

bool DeviceLink::HasDevice() const {
  std::lock_guard guard(mutex_);
  return DeviceHandle != nullptr;
}

DeviceLink::Turn DeviceLink::NextTurn(std::stop_token stop, std::chrono::milliseconds idle) {
  std::unique_lock lock(mutex_);
  connected_.wait_for(lock, stop, idle, [this] { return DeviceHandle != nullptr; });
  Turn turn{DeviceHandle, std::exchange(request_, Request::kNone), std::move(replaced_)};
  replaced_.clear();
  return turn;
}

bool DeviceLink::IsCurrent(const DeviceRef& device) const {
  std::lock_guard guard(mutex_);
  return DeviceHandle == device;
}

bool DeviceLink::ForgetDevice(const DeviceRef& device) {
  std::lock_guard guard(mutex_);
  if (DeviceHandle != device) {
    return false;
  }
  // The reader still holds the handle and closes it once it lets go.
  DeviceHandle.reset();
  request_ = Request::kNone;
  dead_ = reopen_ = false;
  return true;
}

void DeviceLink::RequestFailedOnKeptHandle(const DeviceRef& device) {
  std::lock_guard guard(mutex_);
  if (DeviceHandle == device) {
    dead_ = reopen_ = true;
  }
}

}  // namespace devlink
