// The virtual device through the kernel's /dev/uhid: the kernel lists it as a HID device on the
// USB bus and hands us whatever the host writes to it.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DeviceIds.h"
#include "DeviceProtocol.h"
#include "Fd.h"
#include "Transport.h"

namespace vdev {
namespace {

class UhidTransport final : public Transport {
 public:
  explicit UhidTransport(const std::string& serial)
      : fd_(Checked(open("/dev/uhid", O_RDWR | O_CLOEXEC), "cannot open /dev/uhid (modprobe uhid; needs root)")) {
    uhid_event event{};
    event.type = UHID_CREATE2;
    auto& create = event.u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "%s %s", kManufacturer, kProduct);
    std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "%s", serial.c_str());
    create.bus = BUS_USB;
    create.vendor = devlink::kVendorId;
    create.product = devlink::kProductId;
    const auto descriptor = ReportDescriptor();
    create.rd_size = static_cast<__u16>(std::min(descriptor.size(), sizeof create.rd_data));
    std::memcpy(create.rd_data, descriptor.data(), create.rd_size);
    Write(event);
  }

  // Closing the descriptor destroys the device as well; the explicit request just says so.
  ~UhidTransport() override {
    uhid_event event{};
    event.type = UHID_DESTROY;
    [[maybe_unused]] const auto written = write(fd_.get(), &event, sizeof event);
  }

  int Descriptor() const override { return fd_.get(); }

  HostEvent Read() override {
    uhid_event event{};
    if (read(fd_.get(), &event, sizeof event) < 0) {
      if (errno == EINTR || errno == EAGAIN) return {};
      throw std::system_error(errno, std::generic_category(), "reading /dev/uhid");
    }
    HostEvent happened;
    switch (event.type) {
      case UHID_OPEN:
        happened.kind = HostEvent::Kind::kOpened;
        break;
      case UHID_OUTPUT:
        happened.kind = HostEvent::Kind::kReport;
        happened.report.assign(event.u.output.data, event.u.output.data + event.u.output.size);
        happened.output_report = event.u.output.rtype == UHID_OUTPUT_REPORT;
        break;
      case UHID_GET_REPORT:
      case UHID_SET_REPORT:
        Refuse(event);
        happened.complaint = std::string("the host asked for a ") + (event.type == UHID_GET_REPORT ? "GET" : "SET") +
                             " report, which this device does not have";
        break;
      default:
        break;
    }
    return happened;
  }

  bool Send(const devlink::ReportFrame& frame) override {
    uhid_event event{};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<__u16>(frame.size());
    std::memcpy(event.u.input2.data, frame.data(), frame.size());
    Write(event);
    return true;
  }

 private:
  void Refuse(const uhid_event& request) {
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

  void Write(const uhid_event& event) {
    if (write(fd_.get(), &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
      throw std::system_error(errno, std::generic_category(), "writing /dev/uhid");
    }
  }

  Fd fd_;
};

}  // namespace

// Before /dev/uhid is opened, so that a refused run touches nothing of the kernel's.
std::unique_ptr<Transport> PlugUhid(const std::string& serial) {
  RefuseUsedSerial(serial);
  return std::make_unique<UhidTransport>(serial);
}

}  // namespace vdev
