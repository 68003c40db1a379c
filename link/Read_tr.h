// The background reader, the only thread that calls into an open device: it asks a newly
// connected device to identify itself, reads it and posts every frame with a good checksum into
// the mailbox, and closes the handles it is done with. When a read fails it forgets the device
// and raises the loss notification.
#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <thread>

#include "Connection.h"

namespace devlink {

class ReadThread {
 public:
  // How long a pass waits for a connect while no device is open.
  static constexpr std::chrono::milliseconds kIdleSleep{16};
  // How long one read waits for a report before the reader looks for a connect's news: the most
  // that a connect while a device is open waits before its request goes out and the replaced
  // handle is no longer read. Well under what an operator notices after a click, and few enough
  // wake-ups that a silent device costs next to nothing.
  static constexpr std::chrono::milliseconds kReadPeriod{20};

  // Called on the reader thread, holding no lock, once per failed read of the current device.
  using LossNotification = std::function<void()>;

  // Starts reading at once. `link` must outlive the reader.
  ReadThread(DeviceLink& link, LossNotification on_loss);

  // Asks the loop to stop and waits for the pass under way, at most a read period or a write. The
  // program itself never destroys its reader.
  ~ReadThread() = default;

  ReadThread(const ReadThread&) = delete;
  ReadThread& operator=(const ReadThread&) = delete;

 private:
  void Run(std::stop_token stop);

  DeviceLink& link_;
  const LossNotification on_loss_;
  std::jthread thread_;  // last, so it starts after the members it uses exist
};

}  // namespace devlink
