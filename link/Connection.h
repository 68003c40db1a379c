// The tool's one connection to the device. The UI thread finds and opens devices (Connect); the
// reader thread is the only one that calls into an open device: it writes the identity request,
// reads, and closes every handle that it is done with. The two threads meet here, under a lock
// that is never held across a device call, so the UI thread never waits on the device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "DeviceIds.h"
#include "HidPort.h"
#include "ReportMailbox.h"

namespace devlink {

// Held by the link while the device is current and by the reader while it calls it; whoever lets
// go last closes it, which the link arranges to be the reader.
using DeviceRef = std::shared_ptr<HidDevice>;

class DeviceLink {
 public:
  explicit DeviceLink(HidPort& port) : port_(port) {}
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // UI thread. Finds the first device listed with the tool's ids and has the reader ask it to
  // identify itself. When that device is the one already open, its handle is kept, so that no
  // report is read twice or lost; otherwise it is opened and replaces the current device. Returns
  // false, leaving the current device in use, when no device is listed or the open fails.
  bool Connect();

  // UI thread: true once after the reader could not write the identity request to a handle that a
  // connect kept. That handle is dead; the next connect opens the device anew.
  bool TakeReopenRequest();

  bool HasDevice() const;

  // What the reader does next: the device to call (null when none is open), whether to ask it to
  // identify itself first, and the handles that connects have replaced, to be closed.
  enum class Request { kNone, kIdentify, kIdentifyKeptHandle };
  struct Turn {
    DeviceRef device;
    Request request = Request::kNone;
    std::vector<DeviceRef> replaced;
  };

  // Reader thread. While no device is open, waits up to `idle` for a connect first.
  Turn NextTurn(std::stop_token stop, std::chrono::milliseconds idle);
  // Whether `device` is still the current device: what a replaced handle reads is dropped.
  bool IsCurrent(const DeviceRef& device) const;
  // Forgets `device` if it is still the current one and says whether it was. A failure of a
  // handle that a connect has already replaced must not throw away the newer device.
  bool ForgetDevice(const DeviceRef& device);
  // The identity request could not be written to the kept handle `device`.
  void RequestFailedOnKeptHandle(const DeviceRef& device);

  ReportMailbox& Mailbox() { return mailbox_; }

 private:
  HidPort& port_;
  mutable std::mutex mutex_;
  std::condition_variable_any connected_;  // a connect made a device current
  // Guarded by mutex_. (libstdc++'s std::atomic<std::shared_ptr> would do for the handle alone,
  // but ThreadSanitizer cannot see its lock.)
  DeviceRef DeviceHandle;         // null while no device is open
  std::string path_;              // the current device's system path
  Request request_ = Request::kNone;
  bool dead_ = false;             // the current handle failed a request: do not keep it
  bool reopen_ = false;           // ...and the UI thread has not yet been told
  std::vector<DeviceRef> replaced_;
  ReportMailbox mailbox_;
};

}  // namespace devlink
