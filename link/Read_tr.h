// The background reader, the only thread that calls into the HID library: it carries out every
// connect, asks a newly connected unit to identify itself, reads it and posts every report with a
// good checksum into the mailbox, and closes the handles it is done with. When a read fails it
// forgets the unit and posts the loss.
#pragma once

#include <chrono>
#include <stop_token>
#include <thread>

#include "Connection.h"

namespace devlink {

// For every thread that reads a unit. A signal that has a handler interrupts the HID library's
// wait for a report, which then reports a failed read: the unit would pass for lost. No
// asynchronous signal is delivered to the calling thread; the faults that only it can cause stay
// deliverable.
void BlockAsynchronousSignals();

class ReadThread {
 public:
  // How long a pass waits for a connect while no unit is open.
  static constexpr std::chrono::milliseconds kIdleSleep{16};
  // How long one read waits for a report before the reader looks for a connect: the most that a
  // connect made while a unit is open waits before it is carried out. Well under what an operator
  // notices after a click, and few enough wake-ups that a silent unit costs next to nothing.
  static constexpr std::chrono::milliseconds kReadPeriod{20};

  // Starts reading at once. `link` must outlive the reader.
  explicit ReadThread(DeviceLink& link);

  // Asks the loop to stop and waits for the pass under way, at most a read period or a write,
  // after which the reader closes the open unit. The window never destroys its reader.
  ~ReadThread() = default;

  ReadThread(const ReadThread&) = delete;
  ReadThread& operator=(const ReadThread&) = delete;

 private:
  void Run(std::stop_token stop);

  DeviceLink& link_;
  std::jthread thread_;  // last, so it starts after the members it uses exist
};

}  // namespace devlink
