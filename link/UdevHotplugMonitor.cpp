// The only file that includes libudev: hidraw nodes coming and going, as udev tells them.
#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "HotplugMonitor.h"

namespace devlink {
namespace {

class UdevHotplugMonitor final : public HotplugMonitor {
 public:
  UdevHotplugMonitor() : udev_(udev_new()) {
    if (udev_ == nullptr) Fail("udev_new");
    // udev tells of a node once its rules have run, so that the node's group and mode are set by
    // then. Without a running udev (a container, a minimal system) only the kernel tells; its
    // devtmpfs has made the node by the time it does.
    const bool udevd_runs = access("/run/udev/control", F_OK) == 0;
    monitor_ = udev_monitor_new_from_netlink(udev_, udevd_runs ? "udev" : "kernel");
    if (monitor_ == nullptr) Fail("udev_monitor_new_from_netlink");
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      Fail("udev_monitor_enable_receiving");
    }
  }
  ~UdevHotplugMonitor() override {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }
  UdevHotplugMonitor(const UdevHotplugMonitor&) = delete;
  UdevHotplugMonitor& operator=(const UdevHotplugMonitor&) = delete;

  int Descriptor() const override { return udev_monitor_get_fd(monitor_); }

  std::vector<HotplugNotice> Take() override {
    std::vector<HotplugNotice> notices;
    // The socket does not block: an empty receive ends the batch.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(device);
      const char* node = udev_device_get_devnode(device);
      if (action != nullptr && node != nullptr) {
        const std::string_view what(action);
        if (what == "add" || what == "remove") notices.push_back({node, what == "add"});
      }
      udev_device_unref(device);
    }
    return notices;
  }

 private:
  [[noreturn]] void Fail(const char* call) {
    const int error = errno != 0 ? errno : ENOMEM;
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    if (udev_ != nullptr) udev_unref(udev_);
    throw std::system_error(error, std::generic_category(), call);
  }

  udev* udev_;
  udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<HotplugMonitor> SystemHotplugMonitor() { return std::make_unique<UdevHotplugMonitor>(); }

}  // namespace devlink
