// The only file that includes libudev: the units plugged in, as udev's database and sysfs tell
// them, and hidraw nodes coming and going, as udev's events and /dev itself tell them. udev's
// events come once its rules have run; /dev tells where they never come: in a network namespace
// of its own (a container), under another device manager, or where no udevd runs.
#include <libudev.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>
#include <utility>

#include "DeviceIds.h"
#include "HotplugMonitor.h"

namespace devlink {
namespace {

constexpr char kDevices[] = "/dev";
constexpr char kNodePrefix[] = "hidraw";
constexpr unsigned kBusUsb = 0x03;

std::string_view OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// HID_ID is "BUS:VENDOR:PRODUCT" in hex, such as 0003:00000483:00005750.
bool HasToolIds(std::string_view hid_id, bool& on_usb_bus) {
  unsigned numbers[3] = {};
  const char* at = hid_id.data();
  const char* const end = at + hid_id.size();
  for (unsigned& number : numbers) {
    const auto [next, error] = std::from_chars(at, end, number, 16);
    if (error != std::errc()) return false;
    at = next == end ? end : next + 1;
  }
  on_usb_bus = numbers[0] == kBusUsb;
  return numbers[1] == kVendorId && numbers[2] == kProductId;
}

class UdevHotplugMonitor final : public HotplugMonitor {
 public:
  UdevHotplugMonitor() : udev_(udev_new()), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (udev_ == nullptr || epoll_ < 0) Fail("udev_new");
    // Without a running udevd only the kernel tells; /dev is watched either way.
    const bool udevd_runs = access("/run/udev/control", F_OK) == 0;
    monitor_ = udev_monitor_new_from_netlink(udev_, udevd_runs ? "udev" : "kernel");
    if (monitor_ != nullptr && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
                                udev_monitor_enable_receiving(monitor_) < 0 || !Watch(udev_monitor_get_fd(monitor_)))) {
      monitor_ = udev_monitor_unref(monitor_);
    }
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 && (inotify_add_watch(inotify_, kDevices, IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0 ||
                          !Watch(inotify_))) {
      close(std::exchange(inotify_, -1));
    }
    if (monitor_ == nullptr && inotify_ < 0) Fail("udev_monitor_enable_receiving");
  }
  ~UdevHotplugMonitor() override {
    if (inotify_ >= 0) close(inotify_);
    close(epoll_);
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }
  UdevHotplugMonitor(const UdevHotplugMonitor&) = delete;
  UdevHotplugMonitor& operator=(const UdevHotplugMonitor&) = delete;

  int Descriptor() const override { return epoll_; }

  HotplugNews Take() override {
    HotplugNews news;
    const auto add = [&](std::string node) {
      if (std::ranges::find(news.nodes, node) == news.nodes.end()) news.nodes.push_back(std::move(node));
    };
    if (monitor_ != nullptr) {
      // The socket does not block: an empty receive ends the batch, and ENOBUFS means that events
      // came faster than they were read and some were lost.
      errno = 0;
      while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        if (const char* node = udev_device_get_devnode(device)) add(node);
        udev_device_unref(device);
        errno = 0;
      }
      news.lost |= errno == ENOBUFS;
    }
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; inotify_ >= 0 && (got = read(inotify_, buffer, sizeof buffer)) > 0;) {
      for (const char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        news.lost |= (event->mask & IN_Q_OVERFLOW) != 0;
        if (event->len > 0 && std::strncmp(event->name, kNodePrefix, sizeof kNodePrefix - 1) == 0) {
          add(std::string(kDevices) + "/" + event->name);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    return news;
  }

  std::vector<ListedUnit> List() override {
    std::vector<ListedUnit> units;
    udev_enumerate* listing = udev_enumerate_new(udev_);
    if (listing == nullptr) return units;
    if (udev_enumerate_add_match_subsystem(listing, "hidraw") >= 0 && udev_enumerate_scan_devices(listing) >= 0) {
      udev_list_entry* entry;
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(listing)) {
        const char* syspath = udev_list_entry_get_name(entry);
        udev_device* device = syspath != nullptr ? udev_device_new_from_syspath(udev_, syspath) : nullptr;
        if (device == nullptr) continue;  // gone since the listing was read
        if (auto unit = Describe(device)) units.push_back(std::move(*unit));
        udev_device_unref(device);
      }
    }
    udev_enumerate_unref(listing);
    return units;
  }

  std::optional<ListedUnit> At(const std::string& node) override {
    // The kernel names a hidraw node after its minor number, and sysfs its device the same way.
    const std::string_view name = std::string_view(node).substr(node.rfind('/') + 1);
    udev_device* device = udev_device_new_from_subsystem_sysname(udev_, "hidraw", std::string(name).c_str());
    if (device == nullptr) return std::nullopt;
    auto unit = Describe(device);
    udev_device_unref(device);
    if (unit && unit->path != node) return std::nullopt;
    return unit;
  }

 private:
  // A hidraw device as a unit, if it has the tool's ids. A device being removed may lack any of
  // its strings, so each is checked.
  static std::optional<ListedUnit> Describe(udev_device* hidraw) {
    const char* node = udev_device_get_devnode(hidraw);
    const char* syspath = udev_device_get_syspath(hidraw);
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    if (node == nullptr || syspath == nullptr || hid == nullptr) return std::nullopt;
    bool on_usb_bus = false;
    if (!HasToolIds(OrEmpty(udev_device_get_property_value(hid, "HID_ID")), on_usb_bus)) return std::nullopt;
    ListedUnit unit{node, std::string(OrEmpty(udev_device_get_property_value(hid, "HID_UNIQ"))), false, syspath};
    // A virtual device may say it is on USB; only one with a USB device underneath is.
    if (udev_device* usb = on_usb_bus ? udev_device_get_parent_with_subsystem_devtype(hid, "usb", "usb_device") : nullptr) {
      unit.usb = true;
      if (const char* serial = udev_device_get_sysattr_value(usb, "serial")) unit.serial = serial;
    }
    return unit;
  }

  bool Watch(int descriptor) {
    epoll_event event{};
    event.events = EPOLLIN;
    return epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &event) == 0;
  }

  [[noreturn]] void Fail(const char* call) {
    const int error = errno != 0 ? errno : ENOMEM;
    if (epoll_ >= 0) close(epoll_);
    if (udev_ != nullptr) udev_unref(udev_);
    throw std::system_error(error, std::generic_category(), call);
  }

  udev* udev_;
  const int epoll_;
  udev_monitor* monitor_ = nullptr;
  int inotify_ = -1;
};

}  // namespace

std::unique_ptr<HotplugMonitor> SystemHotplugMonitor() { return std::make_unique<UdevHotplugMonitor>(); }

}  // namespace devlink
