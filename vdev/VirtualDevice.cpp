#include "VirtualDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vdev {

std::optional<std::string> HidrawNodeOf(const std::string& serial) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
    // One read takes a sysfs file whole. A device that goes as it is read fails it (ENODEV), as
    // the one an unplug waits for may: it counts as gone, not as an error.
    const Fd uevent(open((entry.path() / "device/uevent").c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    const ssize_t got = uevent ? read(uevent.get(), buffer, sizeof buffer) : -1;
    if (got <= 0) continue;
    const std::string_view text(buffer, static_cast<std::size_t>(got));
    const std::string node = "/dev/" + entry.path().filename().string();
    if (text.find("\nHID_UNIQ=" + serial + "\n") != std::string_view::npos && std::filesystem::exists(node)) {
      return node;
    }
  }
  return std::nullopt;
}

void RefuseUsedSerial(const std::string& serial) {
  if (const auto node = HidrawNodeOf(serial)) {
    throw std::runtime_error("the serial number " + serial + " is already used by " + *node + "; give another --serial");
  }
}

void Say(const std::string& line) {
  if (std::fprintf(stderr, "tavrix-vdev: %s\n", line.c_str()) < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot write to standard error");
  }
}

namespace {

std::string ListedNode(const std::string& serial) {
  for (int waited = 0; waited < 500; ++waited) {
    if (const auto node = HidrawNodeOf(serial)) return *node;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the system did not list the device within 5 s: modprobe hid-generic usbhid");
}

// Removes the file this run made at the path, unless something else has taken the name since.
void RemoveMade(const std::string& path, const Fd& made) {
  struct stat ours{}, named{};
  if (fstat(made.get(), &ours) == 0 && lstat(path.c_str(), &named) == 0 && ours.st_dev == named.st_dev &&
      ours.st_ino == named.st_ino) {
    unlink(path.c_str());
  }
}

}  // namespace

VirtualDevice::VirtualDevice(const DeviceOptions& options)
    : options_(options), series_(Checked(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC), "timerfd_create")) {
  const std::string serial = options.serial.value_or(devlink::FormatHex(options.identifier));
  // Opened before plugging in, so that a file that cannot be written refuses the run with nothing
  // plugged in; changed only once the device is listed, so that a refused run leaves it as it was.
  bool made = false;
  if (options.record) {
    int fd = open(options.record->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    made = fd >= 0;
    if (!made && errno == EEXIST) fd = open(options.record->c_str(), O_WRONLY | O_CLOEXEC);
    record_ = Checked(fd, "cannot write " + *options.record);
  }
  try {
    transport_ = options.usb ? PlugUsbGadget(serial) : PlugUhid(serial);
    node_ = ListedNode(serial);
    // A pipe or a terminal has nothing to empty.
    if (record_ && !made && ftruncate(record_.get(), 0) != 0 && errno != EINVAL) {
      throw std::system_error(errno, std::generic_category(), "cannot empty " + *options.record);
    }
  } catch (...) {
    if (made) RemoveMade(*options.record, record_);
    throw;
  }
}

pollfd VirtualDevice::DevicePoll() const {
  const bool sending = (opened_ && !queue_.empty()) || !transport_->Delivered();
  return {transport_->Descriptor(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
}

void VirtualDevice::OnDevice(short revents) {
  if (revents & (POLLERR | POLLHUP)) {
    throw std::runtime_error("the device was pulled out from elsewhere");
  }
  if (revents & POLLIN) {
    const HostEvent event = transport_->Read();
    if (!event.complaint.empty()) Say(event.complaint);
    if (event.kind == HostEvent::Kind::kOpened) MarkOpened();
    // A report from the tool means it has the device open, whether or not the transport said so.
    if (event.kind == HostEvent::Kind::kReport) {
      MarkOpened();
      HandleToolReport(event);
    }
  }
  Flush();
}

void VirtualDevice::MarkOpened() {
  if (opened_) return;
  opened_ = true;
  if (options_.count == 0) return;
  const auto interval = std::max(options_.interval, std::chrono::milliseconds(1));
  const timespec period{static_cast<time_t>(interval.count() / 1000),
                        static_cast<long>(interval.count() % 1000) * 1000000};
  const itimerspec timer{period, period};
  timerfd_settime(series_.get(), 0, &timer, nullptr);
}

void VirtualDevice::HandleToolReport(const HostEvent& event) {
  ++reports_received_;
  if (record_) {
    const std::string line = devlink::FormatHex(event.report) + "\n";
    [[maybe_unused]] const auto written = write(record_.get(), line.data(), line.size());
  }
  ToolReport verdict = ReadToolReport(event.report);
  if (!event.output_report) {
    verdict.problems.insert(verdict.problems.begin(), "sent as a feature report, not an output report");
    verdict.identity_request = false;
  }
  for (const std::string& problem : verdict.problems) {
    Say("report " + std::to_string(reports_received_) + " from the tool: " + problem);
  }
  if (verdict.identity_request) {
    Queue(IdentityReplyFrame(options_.identifier));
    if (options_.greeting) SendLine(*options_.greeting);
  }
}

void VirtualDevice::OnSeriesTimer() {
  std::uint64_t expirations = 0;
  if (read(series_.get(), &expirations, sizeof expirations) != sizeof expirations) return;
  // One line per wake-up, however late: catching up would send a burst that a stalled host (or
  // an emulated one) never meant, and the lines would no longer be an interval apart.
  if (sent_in_series_ < options_.count) SendLine("Log line " + std::to_string(++sent_in_series_));
  if (sent_in_series_ == options_.count) {
    const itimerspec stopped{};
    timerfd_settime(series_.get(), 0, &stopped, nullptr);
  }
  Flush();
}

void VirtualDevice::SendLine(std::string_view utf8) {
  const std::string encoded = encoder_.Convert(utf8);
  Queue(LogTextFrame(std::span(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size())));
}

void VirtualDevice::Queue(const devlink::ReportFrame& frame) {
  queue_.push_back(frame);
  Flush();
}

void VirtualDevice::Flush() {
  while (opened_ && !queue_.empty() && transport_->Send(queue_.front())) queue_.pop_front();
}

}  // namespace vdev
