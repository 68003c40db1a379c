// A stand-in for the HID library, loaded with LD_PRELOAD into a program under benchmark so that it
// runs unchanged on units that the benchmark scripts (see HidStandin.h). It makes the system calls
// the hidraw backend makes: an open per open, a poll and a read per report, a write per report
// written. It also stands in for open() on the units' nodes, for a program that reads or writes
// them itself. A read-only open is a new descriptor on the unit's channel, a read() of it one
// report, and it fails with ENODEV once the unit is unplugged; its O_NONBLOCK, as asked, is the
// channel's, which every handle on the unit shares, and stays on once asked. Any other open is a
// handle of its own for writing a report: a connection to the unit's writer. Every report
// written, by either way, reaches the benchmark, which answers an identity request on the unit's
// channel, as the unit answers whichever handle asked on every handle that reads it. And it stands
// in for the libudev calls by which the program lists its units, so that it finds the same units
// there: each a hidraw device on a HID device on a USB device, as the kernel shows a USB unit.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DeviceIds.h"
#include "HidStandin.h"
#include "ReportFrame.h"

// Only the libraries' calls are seen from outside: the frame helpers built in stay private.
#pragma GCC visibility push(default)
#include <hidapi/hidapi.h>
#include <libudev.h>
#pragma GCC visibility pop

struct hid_device_ {
  int channel;
};

// libudev's objects, as the stand-in makes them. Every call that takes one is stood in for: the
// real libudev never sees one of these.
struct udev {};

struct udev_monitor {
  int descriptor;
};

struct udev_list_entry {
  std::string name;
  udev_list_entry* next;
};

struct udev_enumerate {
  bool hidraw = false;  // matched: the stand-in has no other subsystem's devices to list
  std::vector<udev_list_entry> entries;
};

struct udev_device {
  using Values = std::vector<std::pair<std::string, std::string>>;
  std::string syspath, subsystem, devtype, devnode;
  Values properties, sysattrs;
  std::unique_ptr<udev_device> parent;  // a parent belongs to its child, as in libudev
};

namespace {

const std::vector<int>& Channels() {
  static const std::vector<int> channels = [] {
    std::vector<int> descriptors;
    const char* next = std::getenv(hid_standin::kChannelsVariable);
    while (next != nullptr && *next != '\0') {
      char* end = nullptr;
      descriptors.push_back(static_cast<int>(std::strtol(next, &end, 10)));
      if (end == next) break;
      next = *end == ',' ? end + 1 : end;
    }
    return descriptors;
  }();
  return channels;
}

// A channel that the benchmark closed, like a hidraw node that is gone, is neither listed nor opened.
bool Plugged(int channel) {
  pollfd watched{channel, 0, 0};
  return poll(&watched, 1, 0) == 0;
}

// The unit whose node `path` is, if it is one of theirs. Allocates nothing, as it also runs in a
// child forked from a process with other threads.
std::optional<std::size_t> UnitAt(std::string_view path) {
  const std::string_view prefix = hid_standin::kUnitPathPrefix;
  if (!path.starts_with(prefix)) return std::nullopt;
  std::size_t unit = 0;
  const auto [end, error] = std::from_chars(path.data() + prefix.size(), path.data() + path.size(), unit);
  if (error != std::errc() || end != path.data() + path.size()) return std::nullopt;
  return unit;
}

// The channel behind a unit's node, if the unit is plugged in.
std::optional<int> ChannelAt(std::string_view path) {
  const std::optional<std::size_t> unit = UnitAt(path);
  if (!unit || *unit >= Channels().size() || !Plugged(Channels()[*unit])) return std::nullopt;
  return Channels()[*unit];
}

// Unit `unit`'s hidraw device and those above it, laid out as the kernel lays out a USB unit's,
// each named after the unit so that every syspath is unique: its USB device, with the serial;
// interface 0, as hid_enumerate() tells; the HID device on it, with the ids; its hidraw device.
std::unique_ptr<udev_device> UnitDevice(std::size_t unit) {
  const std::string number = std::to_string(unit);
  const std::string serial = hid_standin::UnitSerialText(unit);
  auto usb = std::make_unique<udev_device>();
  *usb = {"/sys/devices/standin/usb" + number, "usb", "usb_device", "", {}, {{"serial", serial}}, nullptr};
  auto interface = std::make_unique<udev_device>();
  *interface = {usb->syspath + "/usb" + number + ":1.0", "usb", "usb_interface", "", {}, {{"bInterfaceNumber", "00"}},
                std::move(usb)};
  // HID_ID in the kernel's format, BUS:VENDOR:PRODUCT; the HID device is named after the same ids.
  char ids[32], name[48];
  std::snprintf(ids, sizeof ids, "%04X:%08X:%08X", BUS_USB, devlink::kVendorId, devlink::kProductId);
  std::snprintf(name, sizeof name, "%04X:%04X:%04X.%04zX", BUS_USB, devlink::kVendorId, devlink::kProductId, unit);
  auto hid = std::make_unique<udev_device>();
  *hid = {interface->syspath + "/" + name, "hid", "", "", {{"HID_ID", ids}, {"HID_UNIQ", serial}}, {}, std::move(interface)};
  const std::string node = hid_standin::UnitPath(unit);
  auto hidraw = std::make_unique<udev_device>();
  *hidraw = {hid->syspath + "/hidraw/" + node.substr(node.rfind('/') + 1), "hidraw", "", node, {}, {}, std::move(hid)};
  return hidraw;
}

// The hidraw device that the kernel names `sysname`, as it names its node in /dev, if it is a
// plugged unit's.
std::unique_ptr<udev_device> PluggedUnitDevice(std::string_view sysname) {
  static_assert(std::string_view(hid_standin::kUnitPathPrefix).starts_with("/dev/"));
  const std::string node = "/dev/" + std::string(sysname);
  const std::optional<std::size_t> unit = UnitAt(node);
  return unit && ChannelAt(node) ? UnitDevice(*unit) : nullptr;
}

const char* ValueOf(const udev_device::Values& values, const char* key) {
  for (const auto& [name, value] : values) {
    if (key != nullptr && name == key) return value.c_str();
  }
  return nullptr;
}

using OpenCall = int (*)(const char*, int, ...);

OpenCall Next(const char* name) { return reinterpret_cast<OpenCall>(dlsym(RTLD_NEXT, name)); }

// Taken as the stand-in loads: the first open() may come in a forked child, where neither dlsym
// nor an allocation is safe.
const OpenCall next_open = Next("open");
const OpenCall next_open64 = Next("open64");
const std::string writers = [] {
  const char* prefix = std::getenv(hid_standin::kWritersVariable);
  return std::string(prefix != nullptr ? prefix : "");
}();

// A descriptor of its own on a unit's channel. Like a new open of a hidraw node, it gets only the
// reports that come after it: those still waiting are dropped.
int NewHandle(int channel, bool close_on_exec) {
  const int handle = fcntl(channel, close_on_exec ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
  devlink::ReportFrame stale;
  while (handle >= 0 && recv(handle, stale.data(), stale.size(), MSG_DONTWAIT) > 0) {
  }
  return handle;
}

// A read-only open of unit `unit`'s node. Not in a forked child: it may allocate.
int OpenChannel(std::size_t unit, int flags) {
  if (unit >= Channels().size()) {
    errno = ENOENT;
    return -1;
  }
  if (!Plugged(Channels()[unit])) {
    errno = ENODEV;
    return -1;
  }
  const int handle = NewHandle(Channels()[unit], (flags & O_CLOEXEC) != 0);
  if (handle >= 0 && (flags & O_NONBLOCK) != 0) fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK);
  return handle;
}

// A unit's node opens read-only on the unit's channel, and otherwise as a new connection to the
// unit's writer, which the benchmark closes when it unplugs the unit; every other path as the C
// library opens it.
int Open(OpenCall next, const char* path, int flags, std::va_list rest) {
  const bool takes_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = takes_mode ? va_arg(rest, mode_t) : 0;
  if (!std::string_view(path).starts_with(hid_standin::kUnitPathPrefix)) return next(path, flags, mode);
  const std::optional<std::size_t> unit = UnitAt(path);
  if (!unit) {
    errno = ENOENT;
    return -1;
  }
  if ((flags & O_ACCMODE) == O_RDONLY) return OpenChannel(*unit, flags);
  const int handle = socket(AF_UNIX, SOCK_SEQPACKET | ((flags & O_CLOEXEC) != 0 ? SOCK_CLOEXEC : 0), 0);
  if (handle < 0) return -1;
  sockaddr_un address;
  if (connect(handle, reinterpret_cast<const sockaddr*>(&address),
              hid_standin::WriterAddress(writers, *unit, address)) == 0) {
    return handle;
  }
  close(handle);
  errno = ENOENT;
  return -1;
}

}  // namespace

int hid_init() { return 0; }

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  if ((vendor_id != 0 && vendor_id != devlink::kVendorId) || (product_id != 0 && product_id != devlink::kProductId)) {
    return nullptr;
  }
  hid_device_info* first = nullptr;
  hid_device_info** next = &first;
  for (std::size_t unit = 0; unit < Channels().size(); ++unit) {
    if (!Plugged(Channels()[unit])) continue;
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(hid_standin::UnitPath(unit).c_str());
    info->vendor_id = devlink::kVendorId;
    info->product_id = devlink::kProductId;
    info->serial_number = wcsdup(hid_standin::UnitSerial(unit).c_str());
    info->interface_number = 0;
    info->bus_type = HID_API_BUS_USB;
    *next = info;
    next = &info->next;
  }
  return first;
}

void hid_free_enumeration(hid_device_info* list) {
  while (list != nullptr) {
    hid_device_info* const next = list->next;
    std::free(list->path);
    std::free(list->serial_number);
    std::free(list);
    list = next;
  }
}

hid_device* hid_open_path(const char* path) {
  const std::optional<int> shared = ChannelAt(path);
  const int channel = shared ? NewHandle(*shared, true) : -1;
  if (channel < 0) {
    if (!shared) errno = ENOENT;
    return nullptr;
  }
  return new hid_device_{channel};
}

int hid_write(hid_device* device, const unsigned char* data, size_t length) {
  const ssize_t sent = send(device->channel, data, length, MSG_NOSIGNAL);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
  // As the hidraw backend: a wait of -1 is a blocking read with no poll before it.
  if (milliseconds >= 0) {
    pollfd watched{device->channel, POLLIN, 0};
    const int ready = poll(&watched, 1, milliseconds);
    if (ready <= 0) return ready;
    if ((watched.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -1;
  }
  // The channel is non-blocking once a read-only open of the unit's node asked for it: a read with
  // no timeout then waits in poll, as it would have waited in recv.
  ssize_t received = 0;
  while ((received = recv(device->channel, data, length, 0)) < 0 && errno == EAGAIN && milliseconds < 0) {
    pollfd watched{device->channel, POLLIN, 0};
    poll(&watched, 1, -1);
  }
  // Another handle on the unit took the report that the poll saw.
  if (received < 0 && errno == EAGAIN) return 0;
  // An end of file is the benchmark having closed the channel: the unit is unplugged.
  return received > 0 ? static_cast<int>(received) : -1;
}

int hid_read(hid_device* device, unsigned char* data, size_t length) {
  return hid_read_timeout(device, data, length, -1);
}

void hid_close(hid_device* device) {
  close(device->channel);
  delete device;
}

udev* udev_new() { return new udev{}; }

// Each unref returns NULL, as libudev's do once the last reference goes: the stand-in's objects
// have only the one.
udev* udev_unref(udev* context) {
  delete context;
  return nullptr;
}

// The stand-in's units never come or go by udev's word: its monitor's descriptor is an eventfd
// never written to, and a unit unplugged shows as a failed read.
udev_monitor* udev_monitor_new_from_netlink(udev*, const char* name) {
  if (name == nullptr || (std::strcmp(name, "udev") != 0 && std::strcmp(name, "kernel") != 0)) {
    errno = EINVAL;
    return nullptr;
  }
  const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return descriptor >= 0 ? new udev_monitor{descriptor} : nullptr;
}

int udev_monitor_filter_add_match_subsystem_devtype(udev_monitor*, const char*, const char*) { return 0; }

int udev_monitor_enable_receiving(udev_monitor*) { return 0; }

int udev_monitor_get_fd(udev_monitor* monitor) { return monitor->descriptor; }

udev_device* udev_monitor_receive_device(udev_monitor*) {
  errno = EAGAIN;
  return nullptr;
}

udev_monitor* udev_monitor_unref(udev_monitor* monitor) {
  if (monitor != nullptr) close(monitor->descriptor);
  delete monitor;
  return nullptr;
}

udev_enumerate* udev_enumerate_new(udev*) { return new udev_enumerate{}; }

int udev_enumerate_add_match_subsystem(udev_enumerate* listing, const char* subsystem) {
  listing->hidraw |= subsystem != nullptr && std::string_view(subsystem) == "hidraw";
  return 0;
}

// Lists the units plugged in now, in the order of their channels, as hid_enumerate() does.
int udev_enumerate_scan_devices(udev_enumerate* listing) {
  listing->entries.clear();
  for (std::size_t unit = 0; listing->hidraw && unit < Channels().size(); ++unit) {
    if (Plugged(Channels()[unit])) listing->entries.push_back({UnitDevice(unit)->syspath, nullptr});
  }
  // Linked once the vector no longer grows.
  for (std::size_t i = 0; i + 1 < listing->entries.size(); ++i) listing->entries[i].next = &listing->entries[i + 1];
  return 0;
}

udev_list_entry* udev_enumerate_get_list_entry(udev_enumerate* listing) {
  return listing->entries.empty() ? nullptr : listing->entries.data();
}

udev_enumerate* udev_enumerate_unref(udev_enumerate* listing) {
  delete listing;
  return nullptr;
}

udev_list_entry* udev_list_entry_get_next(udev_list_entry* entry) { return entry != nullptr ? entry->next : nullptr; }

const char* udev_list_entry_get_name(udev_list_entry* entry) { return entry != nullptr ? entry->name.c_str() : nullptr; }

udev_device* udev_device_new_from_syspath(udev*, const char* syspath) {
  if (syspath == nullptr) return nullptr;
  const std::string_view path(syspath);
  std::unique_ptr<udev_device> device = PluggedUnitDevice(path.substr(path.rfind('/') + 1));
  return device && device->syspath == path ? device.release() : nullptr;
}

udev_device* udev_device_new_from_subsystem_sysname(udev*, const char* subsystem, const char* sysname) {
  if (subsystem == nullptr || sysname == nullptr || std::string_view(subsystem) != "hidraw") return nullptr;
  return PluggedUnitDevice(sysname).release();
}

udev_device* udev_device_unref(udev_device* device) {
  delete device;
  return nullptr;
}

const char* udev_device_get_devnode(udev_device* device) {
  return device->devnode.empty() ? nullptr : device->devnode.c_str();
}

const char* udev_device_get_syspath(udev_device* device) { return device->syspath.c_str(); }

udev_device* udev_device_get_parent_with_subsystem_devtype(udev_device* device, const char* subsystem,
                                                           const char* devtype) {
  for (udev_device* parent = device->parent.get(); parent != nullptr; parent = parent->parent.get()) {
    if (subsystem != nullptr && parent->subsystem == subsystem && (devtype == nullptr || parent->devtype == devtype)) {
      return parent;
    }
  }
  errno = ENOENT;
  return nullptr;
}

const char* udev_device_get_property_value(udev_device* device, const char* key) {
  return ValueOf(device->properties, key);
}

const char* udev_device_get_sysattr_value(udev_device* device, const char* sysattr) {
  return ValueOf(device->sysattrs, sysattr);
}

extern "C" [[gnu::visibility("default")]] int open(const char* path, int flags, ...) {
  std::va_list rest;
  va_start(rest, flags);
  const int opened = Open(next_open, path, flags, rest);
  va_end(rest);
  return opened;
}

extern "C" [[gnu::visibility("default")]] int open64(const char* path, int flags, ...) {
  std::va_list rest;
  va_start(rest, flags);
  const int opened = Open(next_open64, path, flags, rest);
  va_end(rest);
  return opened;
}
