// A scripted device behind the link's HID port. Like the kernel's hidraw, every open handle gets
// every report the device sends, and unplugging fails every pending and later read. It counts
// what a real HID library does not forgive: a handle called or closed while another thread is
// still inside a call on it.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "Connection.h"
#include "HidPort.h"

namespace devlink::testing {

class FakeHidPort : public HidPort {
  // Runs `action` under the port's lock and wakes whoever waits for a change.
  auto Locked(auto action) const {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
    return action();
  }

 public:
  void Plug(bool plugged = true) {
    Locked([&] {
      plugged_ = plugged;
      for (Device* device : devices_) device->failed |= !plugged;
    });
  }
  // Pulling the cable fails every pending read and unlists the device.
  void Unplug() { Plug(false); }
  void SetOpenFails(bool fails) { Locked([&] { open_fails_ = fails; }); }
  // A write then lingers until a read is under way on the same handle, or 100 ms pass.
  void SetSlowWrites() { Locked([&] { slow_writes_ = true; }); }
  // A report (or, with `fail`, a failed read) for every open handle, or only those being read.
  void Send(const std::vector<std::uint8_t>& bytes, bool fail = false, bool only_busy = false) {
    Locked([&] {
      for (Device* device : devices_) {
        if (!only_busy || device->busy > 0) device->inputs.push_back({bytes, fail});
      }
    });
  }
  void Send(const ReportFrame& frame) { Send({frame.begin(), frame.end()}); }

  std::vector<std::vector<std::uint8_t>> Written() const { return Locked([&] { return written_; }); }
  int LiveHandles() const { return Locked([&] { return static_cast<int>(devices_.size()); }); }
  // Reads that wait with every report taken (counting a slow write as one).
  int BlockedReads() const {
    const auto waiting = [](Device* device) { return device->busy > 0 && device->inputs.empty(); };
    return Locked([&] { return static_cast<int>(std::ranges::count_if(devices_, waiting)); });
  }
  // Calls made, and handles closed, while another call ran on the same handle: must stay 0.
  int Misuses() const { return Locked([&] { return misuses_; }); }

  // Polls `condition` every millisecond until it holds; false after some five seconds.
  static bool WaitFor(auto condition) {
    for (int waited = 0; !condition(); ++waited, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      if (waited == 5000) return false;
    }
    return true;
  }

  void Init() override {}
  std::optional<DeviceIdentity> FindFirst(std::uint16_t vendor_id, std::uint16_t product_id) override {
    const bool listed = Locked([&] { return plugged_; }) && vendor_id == kVendorId && product_id == kProductId;
    return listed ? std::optional(DeviceIdentity{vendor_id, product_id, L"FAKE-0001"}) : std::nullopt;
  }
  std::unique_ptr<HidDevice> Open(const DeviceIdentity& identity) override {
    return Locked([&]() -> std::unique_ptr<HidDevice> {
      if (!plugged_ || open_fails_ || identity.serial != L"FAKE-0001") return nullptr;
      return std::make_unique<Device>(*this);
    });
  }

 private:
  struct Device : HidDevice {
    explicit Device(FakeHidPort& owner) : port(owner) { port.devices_.push_back(this); }
    ~Device() override {
      port.Locked([&] {
        port.misuses_ += busy;
        std::erase(port.devices_, this);
      });
    }
    int Read(std::uint8_t* buffer, std::size_t length) override {
      std::unique_lock lock(port.mutex_);
      Enter();
      port.changed_.wait(lock, [&] { return failed || !inputs.empty(); });
      --busy;
      if (failed) return -1;
      const auto [bytes, fail] = inputs.front();
      inputs.pop_front();
      std::copy_n(bytes.begin(), std::min(length, bytes.size()), buffer);
      return fail ? -1 : static_cast<int>(std::min(length, bytes.size()));
    }
    int Write(const std::uint8_t* data, std::size_t length) override {
      std::unique_lock lock(port.mutex_);
      Enter();
      if (port.slow_writes_) port.changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return busy > 1; });
      port.written_.emplace_back(data, data + length);
      --busy;
      return failed ? -1 : static_cast<int>(length);
    }
    void Enter() {
      port.misuses_ += busy++ > 0;
      port.changed_.notify_all();
    }

    FakeHidPort& port;
    std::deque<std::pair<std::vector<std::uint8_t>, bool>> inputs;  // this and the rest guarded by port.mutex_
    bool failed = false;
    int busy = 0;
  };

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool plugged_ = false;
  bool open_fails_ = false;
  bool slow_writes_ = false;
  std::vector<Device*> devices_;
  std::vector<std::vector<std::uint8_t>> written_;
  int misuses_ = 0;
};

}  // namespace devlink::testing
