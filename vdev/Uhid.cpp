#include "Uhid.h"

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace vdev {
namespace {

template <std::size_t N>
void CopyString(__u8 (&field)[N], const std::string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = 0;
}

}  // namespace

UhidDevice::UhidDevice(const UhidIdentity& identity, std::span<const std::uint8_t> descriptor)
    : fd_(open("/dev/uhid", O_RDWR | O_CLOEXEC)) {
  if (fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open /dev/uhid");
  }
  uhid_event event{};
  event.type = UHID_CREATE2;
  auto& create = event.u.create2;
  CopyString(create.name, identity.name);
  CopyString(create.uniq, identity.unique);
  create.bus = BUS_USB;
  create.vendor = identity.vendor_id;
  create.product = identity.product_id;
  create.rd_size = static_cast<__u16>(std::min(descriptor.size(), sizeof create.rd_data));
  std::memcpy(create.rd_data, descriptor.data(), create.rd_size);
  try {
    Write(event);
  } catch (...) {
    close(fd_);
    throw;
  }
}

UhidDevice::~UhidDevice() {
  uhid_event event{};
  event.type = UHID_DESTROY;
  // Closing the descriptor destroys the device as well; the explicit request just says so.
  [[maybe_unused]] const auto written = write(fd_, &event, sizeof event);
  close(fd_);
}

uhid_event UhidDevice::ReadEvent() {
  uhid_event event{};
  ssize_t got;
  do {
    got = read(fd_, &event, sizeof event);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    throw std::system_error(errno, std::generic_category(), "reading /dev/uhid");
  }
  return event;
}

bool UhidDevice::SendInput(std::span<const std::uint8_t> report) {
  uhid_event event{};
  event.type = UHID_INPUT2;
  event.u.input2.size = static_cast<__u16>(std::min(report.size(), sizeof event.u.input2.data));
  std::memcpy(event.u.input2.data, report.data(), event.u.input2.size);
  return write(fd_, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

void UhidDevice::RefuseRequest(const uhid_event& request) {
  uhid_event reply{};
  if (request.type == UHID_GET_REPORT) {
    reply.type = UHID_GET_REPORT_REPLY;
    reply.u.get_report_reply.id = request.u.get_report.id;
    reply.u.get_report_reply.err = EIO;
  } else {
    reply.type = UHID_SET_REPORT_REPLY;
    reply.u.set_report_reply.id = request.u.set_report.id;
    reply.u.set_report_reply.err = EIO;
  }
  Write(reply);
}

void UhidDevice::Write(const uhid_event& event) {
  if (write(fd_, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
    throw std::system_error(errno, std::generic_category(), "writing /dev/uhid");
  }
}

}  // namespace vdev
