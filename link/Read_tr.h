// The background reader: blocks on the open device and posts every frame with a good checksum
// into the mailbox; forgets the device and raises the loss notification when a read fails.
#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <thread>

#include "Connection.h"

namespace devlink {

class ReadThread {
 public:
  static constexpr std::chrono::milliseconds kIdleSleep{16};

  // Called on the reader thread, holding no lock, once per failed read of the current device.
  using LossNotification = std::function<void()>;

  // Starts reading at once. `link` must outlive the reader.
  ReadThread(DeviceLink& link, LossNotification on_loss);

  // Asks the loop to stop and waits for it, which needs the pass under way to end: a blocked read
  // must return first. The program itself never destroys its reader, so its read may block forever.
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
