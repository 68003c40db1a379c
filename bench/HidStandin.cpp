// A stand-in for the HID library, loaded with LD_PRELOAD into a program under benchmark so that it
// runs unchanged on units that the benchmark scripts (see HidStandin.h). It makes the system calls
// the hidraw backend makes: an open per open, a poll and a read per report, a write per report
// written. A unit answers the identity request itself, as the real one does, and passes every
// report written on to the benchmark, which so learns that the program has asked.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
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
  std::size_t unit;
  // The answer to an identity request, read before anything else.
  std::optional<devlink::ReportFrame> reply;
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
  for (std::size_t unit = 0; unit < Channels().size(); ++unit) {
    if (hid_standin::UnitPath(unit) != path || !Plugged(Channels()[unit])) continue;
    const int channel = fcntl(Channels()[unit], F_DUPFD_CLOEXEC, 0);
    if (channel < 0) return nullptr;
    // hidraw hands a new open only the reports that come after it.
    devlink::ReportFrame stale;
    while (recv(channel, stale.data(), stale.size(), MSG_DONTWAIT) > 0) {
    }
    return new hid_device_{channel, unit, std::nullopt};
  }
  errno = ENOENT;
  return nullptr;
}

int hid_write(hid_device* device, const unsigned char* data, size_t length) {
  const ssize_t sent = send(device->channel, data, length, MSG_NOSIGNAL);
  if (sent < 0) return -1;
  devlink::ReportFrame request{};
  std::copy_n(data, std::min(length, request.size()), request.begin());
  if (devlink::IsValidFrame(request) && devlink::FrameHeader(request) == devlink::kIdentityRequestHeader) {
    // The payload's first byte carries nothing; the identifier follows it.
    std::array<std::uint8_t, 1 + devlink::kIdentitySize> payload{};
    const auto identifier = hid_standin::UnitIdentifier(device->unit);
    std::copy(identifier.begin(), identifier.end(), payload.begin() + 1);
    device->reply = devlink::BuildIncomingFrame(devlink::kIdentityReply, payload);
  }
  return static_cast<int>(sent);
}

int hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
  if (device->reply) {
    const std::size_t copied = std::min(length, device->reply->size());
    std::copy_n(device->reply->begin(), copied, data);
    device->reply.reset();
    return static_cast<int>(copied);
  }
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
