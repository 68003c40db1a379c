// The only file that includes hidapi: the real device calls behind HidPort.
#include "HidapiPort.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>

#include "TextConverter.h"

namespace devlink {
namespace {

class HidapiDevice final : public HidDevice {
 public:
  explicit HidapiDevice(hid_device* device) : device_(device) {}
  ~HidapiDevice() override { hid_close(device_); }
  HidapiDevice(const HidapiDevice&) = delete;
  HidapiDevice& operator=(const HidapiDevice&) = delete;

  int Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds timeout) override {
    return hid_read_timeout(device_, buffer, length, static_cast<int>(timeout.count()));
  }
  int Write(const std::uint8_t* data, std::size_t length) override { return hid_write(device_, data, length); }

 private:
  hid_device* const device_;
};

class HidapiPort final : public HidPort {
 public:
  void Init() override { hid_init(); }

  std::vector<ListedUnit> List(std::uint16_t vendor_id, std::uint16_t product_id) override {
    // No filtering on bus type or interface: virtual (uhid) devices have neither.
    const std::unique_ptr<hid_device_info, decltype(&hid_free_enumeration)> list(hid_enumerate(vendor_id, product_id),
                                                                                 &hid_free_enumeration);
    return ListedUnits(list.get());
  }

  std::unique_ptr<HidDevice> Open(const std::string& path, std::error_code& error) override {
    // By path rather than by ids and serial number, which two units may share: this opens the very
    // device that was listed.
    errno = 0;
    hid_device* device = hid_open_path(path.c_str());
    if (device == nullptr) {
      // The library keeps the failed open()'s errno; its own message is only text.
      error = std::error_code(errno, std::generic_category());
      return nullptr;
    }
    return std::make_unique<HidapiDevice>(device);
  }

  int OpenForReading(const std::string& path, std::error_code& error) override {
    // The node itself, as the HID library's hidraw backend opens it, but for reading alone: the
    // requests go out through a handle of their own.
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) error = std::error_code(errno, std::generic_category());
    return descriptor;
  }

  int SendReport(const std::string& path, const std::uint8_t* data, std::size_t length) override {
    // A hidraw node takes an output report as one write, as the HID library's own write does. The
    // child tells whether it did through a pipe rather than through its exit status, which a
    // parent that ignores SIGCHLD never gets: the kernel reaps such a child at once.
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) return -1;
    const char* node = path.c_str();
    // vfork: the child shares the parent's memory rather than copying its page tables, which
    // would hold up every other thread that touches memory meanwhile, such as the one that
    // reads the units; this thread waits for the child's outcome all the same.
    const pid_t writer = vfork();
    if (writer == 0) {
      // Only system calls, and nothing written but the child's own stack. None of the parent's
      // descriptors stays open in it: a pipe that the parent writes must end with the parent,
      // not with a write held up for seconds.
      const unsigned keep = static_cast<unsigned>(told[1]);
      if (keep > 0) close_range(0, keep - 1, 0);
      close_range(keep + 1, ~0U, 0);
      const int handle = open(node, O_WRONLY | O_CLOEXEC | O_NOCTTY);
      const char written = handle >= 0 && write(handle, data, length) == static_cast<ssize_t>(length);
      (void)!write(told[1], &written, 1);
      _exit(0);
    }
    close(told[1]);
    char written = 0;
    ssize_t got = -1;
    if (writer > 0) {
      while ((got = read(told[0], &written, 1)) < 0 && errno == EINTR) {
      }
      // Reaped here unless the kernel did it already.
      while (waitpid(writer, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    close(told[0]);
    return got == 1 && written != 0 ? static_cast<int>(length) : -1;
  }
};

}  // namespace

std::vector<ListedUnit> ListedUnits(const hid_device_info* list) {
  TextConverter to_utf8("UTF-8", "WCHAR_T", "?");
  std::vector<ListedUnit> units;
  for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    if (entry->path == nullptr) {
      continue;
    }
    const wchar_t* serial = entry->serial_number != nullptr ? entry->serial_number : L"";
    const std::string_view serial_bytes(reinterpret_cast<const char*>(serial), std::wcslen(serial) * sizeof(wchar_t));
    // A virtual device on the USB bus has no USB interface.
    units.push_back({entry->path, to_utf8.Convert(serial_bytes),
                     entry->bus_type == HID_API_BUS_USB && entry->interface_number >= 0, {}});
  }
  return units;
}

HidPort& SystemHidPort() {
  // Never destroyed: the reader may still be inside a call when the process exits.
  static auto* port = new HidapiPort;
  return *port;
}

}  // namespace devlink
