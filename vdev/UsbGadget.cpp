// The virtual device as a USB gadget: a HID function made in configfs and bound to the kernel's
// virtual USB controller (dummy_hcd), whose host side enumerates it like a real device. Reports
// go through the gadget's /dev/hidgN; unbinding the controller is the unplug.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "DeviceIds.h"
#include "DeviceProtocol.h"
#include "Fd.h"
#include "Transport.h"

namespace vdev {
namespace {

namespace fs = std::filesystem;

const fs::path kConfigfs = "/sys/kernel/config";
const fs::path kGadgets = kConfigfs / "usb_gadget";
const fs::path kControllers = "/sys/class/udc";
constexpr std::string_view kGadgetPrefix = "tavrix-vdev.";
constexpr char kLoadModules[] = "modprobe dummy_hcd usb_f_hid";
constexpr char kNeedsRoot[] = "making a USB gadget needs root (run it with sudo)";

std::string ReadText(const fs::path& path) {
  std::ifstream file(path);
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

[[noreturn]] void Fail(int error, const std::string& what) {
  if (error == EACCES || error == EPERM) {
    throw std::runtime_error(kNeedsRoot);
  }
  throw std::system_error(error, std::generic_category(), what);
}

// Writes a configfs attribute; the error number of the failure, or 0.
int WriteError(const fs::path& path, std::string_view value) {
  const Fd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (file && write(file.get(), value.data(), value.size()) == static_cast<ssize_t>(value.size())) return 0;
  return errno;
}

void Write(const fs::path& path, std::string_view value) {
  if (const int error = WriteError(path, value)) Fail(error, "cannot write " + path.string());
}

void MakeDirectory(const fs::path& path) {
  if (mkdir(path.c_str(), 0755) != 0) Fail(errno, "cannot create " + path.string());
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

bool IsMounted(const fs::path& mount_point) {
  std::ifstream mounts("/proc/mounts");
  for (std::string device, point, type, rest; mounts >> device >> point >> type && std::getline(mounts, rest);) {
    if (point == mount_point && type == "configfs") return true;
  }
  return false;
}

// A name this program gives its gadgets: the prefix and a positive number without leading zeros,
// as it numbers them. Any other name belongs to someone else.
bool IsOurName(std::string_view name) {
  if (!name.starts_with(kGadgetPrefix)) return false;
  name.remove_prefix(kGadgetPrefix.size());
  return !name.empty() && name.front() != '0' &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An exclusive advisory lock on a directory, held while the descriptor stays open; no descriptor
// when another process holds it.
Fd TryLock(const fs::path& directory) {
  Fd held = Checked(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "cannot open " + directory.string());
  if (flock(held.get(), LOCK_EX | LOCK_NB) == 0) return held;
  if (errno != EWOULDBLOCK) Fail(errno, "cannot lock " + directory.string());
  return Fd();
}

// Held while a run looks for leftovers and while it makes and locks its gadget, so that no run
// takes another's new gadget for a leftover, nor the same controller. A run holds it briefly; a
// lock held for longer is some other program's, and waiting for it ends.
Fd LockGadgets() {
  for (int waited = 0; waited < 500; ++waited) {
    if (Fd held = TryLock(kGadgets)) return held;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("another program has held " + kGadgets.string() + " locked for 5 s");
}

// Takes a gadget apart in the reverse order of its making, skipping parts already gone, and waits
// until the host has let go of its device. Throws saying what is left when a part will not go.
void RemoveGadget(const fs::path& gadget) {
  const std::string serial = ReadText(gadget / "strings/0x409/serialnumber");
  const std::string controller = ReadText(gadget / "UDC");
  if (const int error = controller.empty() ? 0 : WriteError(gadget / "UDC", "\n")) {
    throw std::runtime_error("cannot unplug " + gadget.string() + " from " + controller + ": " + std::strerror(error) +
                             "; it is left plugged in");
  }
  for (const char* part : {"configs/c.1/hid.usb0", "configs/c.1/strings/0x409", "configs/c.1", "functions/hid.usb0",
                           "strings/0x409", ""}) {
    const fs::path path = *part ? gadget / part : gadget;
    std::error_code error;
    if (fs::remove(path, error); error) {
      throw std::runtime_error("cannot remove " + path.string() + ": " + error.message() + "; " + gadget.string() +
                               " is left, unplugged");
    }
  }
  for (int waited = 0; waited < 500 && !serial.empty() && HidrawNodeOf(serial); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Gadgets of ours that no running tavrix-vdev holds: runs that were killed before they could
// unplug. Each run holds a lock on its gadget's own directory for the gadget's lifetime; the
// kernel drops the lock when the process ends however it ends, and the directory is the one
// thing that every process seeing the gadget shares, whatever its PID or mount namespace.
void RemoveLeftovers() {
  for (const auto& entry : fs::directory_iterator(kGadgets)) {
    const std::string name = entry.path().filename();
    if (!IsOurName(name)) continue;
    if (const Fd held = TryLock(entry.path())) {
      RemoveGadget(entry.path());
      Say("removed the virtual device left behind by an earlier run (" + name + ")");
    }
  }
}

// The first virtual controller that no gadget is bound to.
std::string FreeController() {
  std::optional<std::string> busy;
  std::error_code none;
  for (const auto& controller : fs::directory_iterator(kControllers, none)) {
    const std::string name = controller.path().filename();
    if (!name.starts_with("dummy_udc.")) continue;
    std::optional<std::string> bound;
    for (const auto& gadget : fs::directory_iterator(kGadgets)) {
      if (ReadText(gadget.path() / "UDC") == name) bound = gadget.path().filename();
    }
    if (!bound) return name;
    busy = name + " is in use by the gadget " + *bound;
  }
  if (!busy) throw std::runtime_error(std::string("no virtual USB controller: ") + kLoadModules);
  throw std::runtime_error("the virtual USB controller " + *busy +
                           "; unbind that gadget, or load dummy_hcd with num=2 for a second controller");
}

class UsbGadget final : public Transport {
 public:
  explicit UsbGadget(const std::string& serial) {
    if (!IsMounted(kConfigfs)) {
      throw std::runtime_error("configfs is not mounted: mount -t configfs none " + kConfigfs.string());
    }
    if (!fs::exists(kGadgets)) {
      throw std::runtime_error(std::string("the USB gadget modules are not loaded: ") + kLoadModules);
    }
    if (access(kGadgets.c_str(), W_OK) != 0) throw std::runtime_error(kNeedsRoot);
    const Fd gadgets = LockGadgets();
    RemoveLeftovers();
    RefuseUsedSerial(serial);
    const std::string controller = FreeController();

    // Named after the process for the reader's sake; a number that another namespace's run
    // already uses is passed over.
    for (auto number = static_cast<unsigned long>(getpid());; ++number) {
      gadget_ = kGadgets / (std::string(kGadgetPrefix) + std::to_string(number));
      if (mkdir(gadget_.c_str(), 0755) == 0) break;
      if (errno != EEXIST) Fail(errno, "cannot create " + gadget_.string());
    }
    try {
      // Root's alone, so that no other user can hold its lock and make a leftover look alive.
      if (chmod(gadget_.c_str(), 0700) != 0) Fail(errno, "cannot restrict " + gadget_.string());
      lock_ = TryLock(gadget_);
      if (!lock_) throw std::runtime_error(gadget_.string() + " was locked by another process as it was made");
      Build(serial);
      Write(gadget_ / "UDC", controller);
      device_ = OpenGadgetDevice();
    } catch (...) {
      UnplugOrSay();
      throw;
    }
  }

  ~UsbGadget() override { UnplugOrSay(); }

  int Descriptor() const override { return device_.get(); }

  HostEvent Read() override {
    HostEvent happened;
    happened.report.resize(devlink::kFrameSize);
    const ssize_t got = read(device_.get(), happened.report.data(), happened.report.size());
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) return {};
      throw std::system_error(errno, std::generic_category(), "reading the gadget");
    }
    happened.kind = HostEvent::Kind::kReport;
    happened.report.resize(static_cast<std::size_t>(got));
    return happened;
  }

  // One report waits in the endpoint until the host polls it; the next one waits for that.
  bool Send(const devlink::ReportFrame& frame) override {
    if (write(device_.get(), frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) return true;
    if (errno == EAGAIN || errno == EINTR) return false;
    throw std::system_error(errno, std::generic_category(), "writing the gadget");
  }

  bool Delivered() const override {
    pollfd writable{device_.get(), POLLOUT, 0};
    return poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT) != 0;
  }

  // Tried once: a gadget that will not go is reported once, not again as the transport goes.
  void Unplug() override {
    device_ = Fd();
    if (!gadget_.empty()) RemoveGadget(std::exchange(gadget_, {}));
  }

 private:
  void UnplugOrSay() noexcept {
    try {
      Unplug();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "tavrix-vdev: %s\n", error.what());
    }
  }

  void Build(const std::string& serial) {
    Write(gadget_ / "idVendor", Hex(devlink::kVendorId));
    Write(gadget_ / "idProduct", Hex(devlink::kProductId));
    MakeDirectory(gadget_ / "strings/0x409");
    Write(gadget_ / "strings/0x409/manufacturer", kManufacturer);
    Write(gadget_ / "strings/0x409/product", kProduct);
    Write(gadget_ / "strings/0x409/serialnumber", serial);
    MakeDirectory(gadget_ / "configs/c.1");
    MakeDirectory(gadget_ / "configs/c.1/strings/0x409");
    Write(gadget_ / "configs/c.1/strings/0x409/configuration", "HID");

    const fs::path hid = gadget_ / "functions/hid.usb0";
    if (mkdir(hid.c_str(), 0755) != 0) {
      if (errno == ENOENT) throw std::runtime_error(std::string("the HID gadget function is missing: ") + kLoadModules);
      Fail(errno, "cannot create " + hid.string());
    }
    // Neither a boot protocol nor a subclass: a vendor-defined device.
    for (const char* attribute : {"protocol", "subclass"}) Write(hid / attribute, "0");
    Write(hid / "report_length", std::to_string(devlink::kFrameSize));
    const auto descriptor = ReportDescriptor();
    Write(hid / "report_desc", {reinterpret_cast<const char*>(descriptor.data()), descriptor.size()});
    std::error_code error;
    fs::create_directory_symlink(hid, gadget_ / "configs/c.1/hid.usb0", error);
    if (error) Fail(error.value(), "cannot add the HID function to the gadget");
  }

  // The gadget side's character device, /dev/hidgN, found through the function's device number.
  Fd OpenGadgetDevice() const {
    const std::string number = ReadText(gadget_ / "functions/hid.usb0/dev");
    std::ifstream uevent("/sys/dev/char/" + number + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
      if (line.starts_with("DEVNAME=")) {
        const std::string node = "/dev/" + line.substr(8);
        return Checked(open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC), "cannot open " + node);
      }
    }
    throw std::runtime_error("the gadget's HID function has no device node");
  }

  fs::path gadget_;
  Fd lock_;  // held for the gadget's lifetime: it is not a leftover
  Fd device_;
};

}  // namespace

std::unique_ptr<Transport> PlugUsbGadget(const std::string& serial) { return std::make_unique<UsbGadget>(serial); }

}  // namespace vdev
