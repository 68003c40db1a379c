// A stand-in for the HID library, loaded with LD_PRELOAD into a program under benchmark so that it
// runs unchanged on units that the benchmark scripts (see HidStandin.h). It makes the system calls
// the hidraw backend makes: an open per open, a poll and a read per report, a write per report
// written. It also stands in for open() on the units' nodes, which the program uses to write a
// report on a handle of its own: such a handle is a connection to the unit's writer. Every report
// written, by either way, reaches the benchmark, which answers an identity request on the unit's
// channel, as the unit answers whichever handle asked on every handle that reads it.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceIds.h"
#include "HidStandin.h"
#include "ReportFrame.h"

// Only the library's calls are seen from outside: the frame helpers built in stay private.
#pragma GCC visibility push(default)
#include <hidapi/hidapi.h>
#pragma GCC visibility pop

struct hid_device_ {
  int channel;
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

// A unit's node opens as a new connection to the unit's writer, which the benchmark closes when
// it unplugs the unit; every other path as the C library opens it.
int Open(OpenCall next, const char* path, int flags, std::va_list rest) {
  const bool takes_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = takes_mode ? va_arg(rest, mode_t) : 0;
  if (!std::string_view(path).starts_with(hid_standin::kUnitPathPrefix)) return next(path, flags, mode);
  const std::optional<std::size_t> unit = UnitAt(path);
  if (!unit) {
    errno = ENOENT;
    return -1;
  }
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
  const int channel = shared ? fcntl(*shared, F_DUPFD_CLOEXEC, 0) : -1;
  if (channel < 0) {
    if (!shared) errno = ENOENT;
    return nullptr;
  }
  // hidraw hands a new open only the reports that come after it.
  devlink::ReportFrame stale;
  while (recv(channel, stale.data(), stale.size(), MSG_DONTWAIT) > 0) {
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
  const ssize_t received = recv(device->channel, data, length, 0);
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
