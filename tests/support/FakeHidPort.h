// A scripted device behind the link's HID port, for tests. Like the kernel's hidraw, every open
// handle receives every report the device sends; unplugging fails every pending and later read.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "HidPort.h"
#include "ReportFrame.h"

namespace devlink::testing {

class FakeHidPort : public HidPort {
 public:
  struct Input {
    std::vector<std::uint8_t> bytes;
    bool fail = false;  // the read returns -1
  };

  // --- What the device does -------------------------------------------------------------
  void Plug() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
  }
  // Ends every pending read with a failure, as pulling the cable does, and unlists the device.
  void Unplug() {
    std::lock_guard lock(mutex_);
    plugged_ = false;
    for (Device* device : devices_) device->failed = true;
    changed_.notify_all();
  }
  void SetOpenFails(bool fails) {
    std::lock_guard lock(mutex_);
    open_fails_ = fails;
  }
  // Delivers a report to every open handle.
  void Send(const ReportFrame& frame) { SendBytes({frame.begin(), frame.end()}); }
  void SendBytes(std::vector<std::uint8_t> bytes) { Deliver(Input{std::move(bytes)}); }
  // The next read on every open handle fails once; the device stays listed.
  void FailNextRead() { Deliver(Input{{}, true}); }
  // Fails only the reads under way right now, as when one handle breaks.
  void FailBlockedReads() {
    std::lock_guard lock(mutex_);
    for (Device* device : devices_) {
      if (device->busy > 0) device->inputs.push_back(Input{{}, true});
    }
    changed_.notify_all();
  }

  // --- What the tool did ------------------------------------------------------------------
  std::vector<std::vector<std::uint8_t>> Written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }
  int OpenCount() const { std::lock_guard lock(mutex_); return opens_; }
  int CloseCount() const { std::lock_guard lock(mutex_); return closes_; }
  int LiveHandles() const { std::lock_guard lock(mutex_); return static_cast<int>(devices_.size()); }
  // Handles closed while a read or write was still running on them: must stay 0.
  int ClosedWhileBusy() const { std::lock_guard lock(mutex_); return closed_while_busy_; }
  // Reads currently blocked, summed over handles.
  int BlockedReads() const { std::lock_guard lock(mutex_); return blocked_reads_; }

  // Waits until `count` reads are blocked (the reader has consumed everything sent so far).
  bool WaitForBlockedReads(int count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return blocked_reads_ >= count; });
  }

  // --- HidPort ----------------------------------------------------------------------------
  void Init() override {}

  std::optional<DeviceIdentity> FindFirst(std::uint16_t vendor_id, std::uint16_t product_id) override {
    std::lock_guard lock(mutex_);
    if (!plugged_ || vendor_id != 0x0483 || product_id != 0x5750) return std::nullopt;
    return DeviceIdentity{vendor_id, product_id, kSerial};
  }

  std::unique_ptr<HidDevice> Open(const DeviceIdentity& identity) override {
    std::lock_guard lock(mutex_);
    if (!plugged_ || open_fails_ || identity.serial != kSerial) return nullptr;
    ++opens_;
    auto device = std::make_unique<Device>(*this);
    devices_.push_back(device.get());
    return device;
  }

 private:
  struct Device : HidDevice {
    explicit Device(FakeHidPort& owner) : port(owner) {}
    ~Device() override {
      std::lock_guard lock(port.mutex_);
      ++port.closes_;
      if (busy > 0) ++port.closed_while_busy_;
      std::erase(port.devices_, this);
    }
    int Read(std::uint8_t* buffer, std::size_t length) override {
      std::unique_lock lock(port.mutex_);
      ++busy;
      ++port.blocked_reads_;
      port.changed_.notify_all();
      port.changed_.wait(lock, [&] { return failed || !inputs.empty(); });
      --port.blocked_reads_;
      --busy;
      if (failed) return -1;
      Input input = std::move(inputs.front());
      inputs.pop_front();
      if (input.fail) return -1;
      const std::size_t count = std::min(length, input.bytes.size());
      std::copy_n(input.bytes.begin(), count, buffer);
      return static_cast<int>(count);
    }
    int Write(const std::uint8_t* data, std::size_t length) override {
      std::lock_guard lock(port.mutex_);
      port.written_.emplace_back(data, data + length);
      return failed ? -1 : static_cast<int>(length);
    }

    FakeHidPort& port;
    std::deque<Input> inputs;  // guarded by port.mutex_
    bool failed = false;
    int busy = 0;
  };

  void Deliver(Input input) {
    std::lock_guard lock(mutex_);
    for (Device* device : devices_) device->inputs.push_back(input);
    changed_.notify_all();
  }

  static constexpr const wchar_t* kSerial = L"FAKE-0001";

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool plugged_ = false;
  bool open_fails_ = false;
  std::vector<Device*> devices_;
  std::vector<std::vector<std::uint8_t>> written_;
  int opens_ = 0;
  int closes_ = 0;
  int closed_while_busy_ = 0;
  int blocked_reads_ = 0;
};

}  // namespace devlink::testing
