// Scripted units behind the link's HID port, listed by path, and the hotplug monitor that tells
// of them. Like the kernel's hidraw, every open handle of a unit gets every report the unit sends,
// unplugging fails every pending and later call, and an open waits while any handle's write is
// under way. A unit opened for reading alone is one end of a socket pair of packets, whose other
// end the port keeps: a report is a packet, an unplugged unit a closed end, and a full socket
// drops what the unit sends, as hidraw drops what its reader leaves. Writes can be made slow or failing; a unit can answer identity requests by itself.
// It counts what the link must never do: call or close a handle while another call runs on it,
// which a real HID library does not forgive, or from another thread than the one that called it
// before; and read where an asynchronous signal could interrupt the read.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <poll.h>
#include <span>
#include <mutex>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Connection.h"
#include "HidPort.h"
#include "HotplugMonitor.h"

namespace devlink::testing {

class FakeHidPort : public HidPort, public HotplugMonitor {
  // Runs `action` under the port's lock and wakes whoever waits for a change.
  auto Locked(auto action) const {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
    return action();
  }

 public:
  static constexpr char kUnit[] = "/dev/hidraw-a";

  ~FakeHidPort() override {
    for (const Channel& channel : channels_) close(channel.ours);
    close(notify_);
  }

  // Lists the unit after those already listed, or before them, as a new instance at that node.
  void Plug(const std::string& unit = kUnit, bool first = false) {
    Locked([&] {
      listed_.insert(first ? listed_.begin() : listed_.end(), unit);
      instances_[unit] = "instance" + std::to_string(++plugs_);
      Notify(unit);
    });
  }
  // Pulling the cable unlists the unit and fails every pending and later call on its handles.
  void Unplug(const std::string& unit = kUnit) {
    Locked([&] {
      if (std::erase(listed_, unit) > 0) Notify(unit);
      Fail(unit);
    });
  }
  // The unit at this node goes and another takes the node, before any news of either.
  void Replace(const std::string& unit = kUnit) {
    Locked([&] {
      Fail(unit);
      instances_[unit] = "instance" + std::to_string(++plugs_);
    });
  }
  // The next news tells only that news was lost, as a monitor whose events came too fast.
  void LoseNews() { Locked([&] { news_lost_ = true; }); }
  // The serial number listed for the unit: "SN" and its path unless set.
  void SetSerial(const std::string& unit, const std::string& serial) { Locked([&] { serials_[unit] = serial; }); }
  // The identity reply of a unit with this identifier.
  static ReportFrame IdentityReply(const std::array<std::uint8_t, kIdentitySize>& identifier) {
    ReportFrame reply = BuildIncomingFrame(kIdentityReply);
    std::copy(identifier.begin(), identifier.end(), reply.begin() + kIdentityOffset);
    SealFrame(reply);
    return reply;
  }
  // From now on the unit answers every identity request that it takes with this identifier.
  void SetIdentity(const std::string& unit, const std::array<std::uint8_t, kIdentitySize>& identifier) {
    Locked([&] { replies_[unit] = IdentityReply(identifier); });
  }
  void SetOpenFails(bool fails) { Locked([&] { open_fails_ = fails; }); }
  // Every write fails, as on a handle whose device has gone away.
  void SetWritesFail(bool fail) { Locked([&] { writes_fail_ = fail; }); }
  // Every write takes this long, as a device that does not take output reports lets it; or only
  // the writes to `unit`.
  void SetWriteTime(std::chrono::milliseconds time, const std::string& unit = {}) {
    Locked([&] { (unit.empty() ? write_time_ : unit_write_times_[unit]) = time; });
  }
  // A report for every open handle of the unit; `length` cuts it short.
  void Send(const ReportFrame& frame, const std::string& unit = kUnit, std::size_t length = kFrameSize) {
    Locked([&] {
      Deliver(unit, std::span(frame).first(length));
    });
  }

  // The units that took an identity request, in order.
  std::vector<std::string> Asked() const { return Locked([&] { return asked_; }); }
  int LiveHandles() const {
    return Locked([&] { return static_cast<int>(devices_.size() + std::ranges::count_if(channels_, ReaderHasIt)); });
  }
  int Opens() const { return Locked([&] { return opens_; }); }
  int WritesUnderWay() const { return Locked([&] { return writing_; }); }
  // Reads that wait with every report taken.
  int WaitingReads() const {
    const auto waiting = [](Device* device) { return device->reading && device->inputs.empty(); };
    const auto drained = [](const Channel& channel) {
      int unread = 0;
      return ReaderHasIt(channel) && ioctl(channel.ours, SIOCOUTQ, &unread) == 0 && unread == 0;
    };
    return Locked([&] {
      return static_cast<int>(std::ranges::count_if(devices_, waiting) + std::ranges::count_if(channels_, drained));
    });
  }
  // Calls made, and handles closed, while another call ran on the same handle or by another thread
  // than the one that called it before: must stay 0.
  int Misuses() const { return Locked([&] { return misuses_; }); }

  // Polls `condition` every millisecond until it holds; false after some five seconds.
  static bool WaitFor(auto condition) {
    for (int waited = 0; !condition(); ++waited, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      if (waited == 5000) return false;
    }
    return true;
  }

  void Init() override {}
  std::vector<ListedUnit> List(std::uint16_t vendor_id, std::uint16_t product_id) override {
    return vendor_id == kVendorId && product_id == kProductId ? List() : std::vector<ListedUnit>{};
  }

  int Descriptor() const override { return notify_; }
  HotplugNews Take() override {
    std::uint64_t count;
    (void)!read(notify_, &count, sizeof count);
    return Locked([&] {
      HotplugNews news{std::exchange(notices_, {}), std::exchange(news_lost_, false)};
      if (news.lost) news.nodes.clear();
      return news;
    });
  }
  std::vector<ListedUnit> List() override {
    return Locked([&] {
      std::vector<ListedUnit> units;
      for (const std::string& path : listed_) units.push_back(Listed(path));
      return units;
    });
  }
  std::optional<ListedUnit> At(const std::string& node) override {
    return Locked([&]() -> std::optional<ListedUnit> {
      if (std::ranges::find(listed_, node) == listed_.end()) return std::nullopt;
      return Listed(node);
    });
  }
  std::unique_ptr<HidDevice> Open(const std::string& path, std::error_code& error) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return writing_ == 0; });
    if (open_fails_ || std::ranges::find(listed_, path) == listed_.end()) {
      error = std::make_error_code(open_fails_ ? std::errc::permission_denied : std::errc::no_such_device);
      return nullptr;
    }
    ++opens_;
    return std::make_unique<Device>(*this, path);
  }
  int OpenForReading(const std::string& path, std::error_code& error) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return writing_ == 0; });
    int ends[2];
    if (open_fails_ || std::ranges::find(listed_, path) == listed_.end() ||
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
      error = std::make_error_code(open_fails_ ? std::errc::permission_denied : std::errc::no_such_device);
      return -1;
    }
    ++opens_;
    channels_.push_back({path, ends[0]});
    return ends[1];
  }
  int SendReport(const std::string& path, const std::uint8_t* data, std::size_t length) override {
    std::unique_lock lock(mutex_);
    if (std::ranges::find(listed_, path) == listed_.end()) return -1;
    return Written(lock, path, data, length, [&] { return std::ranges::find(listed_, path) == listed_.end(); });
  }

 private:
  struct Device : HidDevice {
    Device(FakeHidPort& owner, std::string path) : port(owner), unit(std::move(path)) { port.devices_.push_back(this); }
    ~Device() override {
      port.Locked([&] {
        port.misuses_ += busy + OtherThread();
        std::erase(port.devices_, this);
      });
    }
    int Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds timeout) override {
      std::unique_lock lock(port.mutex_);
      Enter();
      sigset_t blocked;
      pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
      port.misuses_ += !sigismember(&blocked, SIGINT) + !sigismember(&blocked, SIGUSR1);
      reading = true;
      // No test waits for an hour: a read without a limit.
      const auto limit = timeout.count() < 0 ? std::chrono::hours(1) : timeout;
      port.changed_.wait_for(lock, limit, [&] { return failed || !inputs.empty(); });
      reading = false;
      --busy;
      if (failed) return -1;
      if (inputs.empty()) return 0;
      const std::vector<std::uint8_t> bytes = std::move(inputs.front());
      inputs.pop_front();
      std::copy_n(bytes.begin(), std::min(length, bytes.size()), buffer);
      return static_cast<int>(std::min(length, bytes.size()));
    }
    int Write(const std::uint8_t* data, std::size_t length) override {
      std::unique_lock lock(port.mutex_);
      Enter();
      const int written = port.Written(lock, unit, data, length, [&] { return failed; });
      --busy;
      return written;
    }
    bool OtherThread() const { return user != std::thread::id() && user != std::this_thread::get_id(); }
    void Enter() {
      port.misuses_ += (busy++ > 0) + OtherThread();
      user = std::this_thread::get_id();
      port.changed_.notify_all();
    }

    FakeHidPort& port;
    const std::string unit;
    std::deque<std::vector<std::uint8_t>> inputs;  // this and the rest guarded by port.mutex_
    bool failed = false;
    bool reading = false;
    int busy = 0;
    std::thread::id user;
  };

  // A write to `unit`, which takes the write time unless the unit goes first.
  int Written(std::unique_lock<std::mutex>& lock, const std::string& unit, const std::uint8_t* data, std::size_t length,
              auto gone) {
    ++writing_;
    const auto own_time = unit_write_times_.find(unit);
    changed_.wait_for(lock, own_time != unit_write_times_.end() ? own_time->second : write_time_, gone);
    --writing_;
    changed_.notify_all();
    if (gone() || writes_fail_) return -1;
    const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
    if (std::equal(data, data + length, request.begin(), request.end())) {
      asked_.push_back(unit);
      if (const auto reply = replies_.find(unit); reply != replies_.end()) Deliver(unit, reply->second);
    }
    return static_cast<int>(length);
  }

  struct Channel {
    std::string unit;
    int ours;  // -1 once the unit is unplugged
  };
  // Whether the reader still has its end.
  static bool ReaderHasIt(const Channel& channel) {
    pollfd end{channel.ours, 0, 0};
    return channel.ours >= 0 && poll(&end, 1, 0) == 0;
  }

  void Deliver(const std::string& unit, std::span<const std::uint8_t> report) {
    for (Device* device : devices_) {
      if (device->unit == unit) device->inputs.emplace_back(report.begin(), report.end());
    }
    for (const Channel& channel : channels_) {
      if (channel.unit == unit && channel.ours >= 0) (void)!send(channel.ours, report.data(), report.size(), MSG_NOSIGNAL);
    }
  }
  void Fail(const std::string& unit) {
    for (Device* device : devices_) device->failed |= device->unit == unit;
    for (Channel& channel : channels_) {
      if (channel.unit == unit && channel.ours >= 0) close(std::exchange(channel.ours, -1));
    }
  }

  ListedUnit Listed(const std::string& path) const {
    const auto serial = serials_.find(path);
    return {path, serial != serials_.end() ? serial->second : "SN" + path, true, instances_.at(path)};
  }

  void Notify(const std::string& unit) {
    notices_.push_back(unit);
    const std::uint64_t one = 1;
    (void)!write(notify_, &one, sizeof one);
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  const int notify_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::vector<std::string> notices_;
  bool news_lost_ = false;
  std::map<std::string, std::string> instances_;
  int plugs_ = 0;
  std::map<std::string, std::string> serials_;
  std::map<std::string, ReportFrame> replies_;
  std::vector<std::string> listed_;
  bool open_fails_ = false;
  bool writes_fail_ = false;
  std::chrono::milliseconds write_time_{0};
  std::map<std::string, std::chrono::milliseconds> unit_write_times_;
  std::vector<Device*> devices_;
  std::vector<Channel> channels_;
  std::vector<std::string> asked_;
  int writing_ = 0;
  int opens_ = 0;
  int misuses_ = 0;
};

}  // namespace devlink::testing
