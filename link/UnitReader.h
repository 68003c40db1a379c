// One followed unit's own thread: it asks the unit to identify itself (again, a few times, while a
// unit that took the request does not answer), then reads it until it is lost, handing every
// report over with the unit's session; the identity reply is handed over whatever the queue holds. It is the only thread that calls into
// the unit's handle, and it closes the handle when it is done. The request goes out through the
// port's one-off writer, so that a unit that holds it up never holds up the process's end. Its
// reads wait for as long as it takes, so a silent unit costs nothing; only the wait for an answer
// that is needed has a limit.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "LinkEvent.h"
#include "ReportMailbox.h"

namespace devlink {

struct ReaderOptions {
  // Hand over every report, whatever it holds, rather than only those with a good checksum.
  bool every_report = false;
  // Close the unit once it has answered, or once `answer_limit` has passed since its request went
  // out: for front ends that only ask.
  bool ask_only = false;
  // Hold back what the unit sends until it answers with this identifier; let it go if it answers
  // with another, or with none within `answer_limit`. Empty: take the unit as it is.
  std::string expected_identifier;
  std::chrono::milliseconds answer_limit{1000};
};

class UnitReader {
 public:
  // Starts at once; `done` is called on the reader's thread as it ends. `mailbox` must outlive it.
  UnitReader(HidPort& port, std::unique_ptr<HidDevice> device, std::string unit, Session session,
             ReportMailbox& mailbox, ReaderOptions options, std::function<void()> done);
  // Waits for the reader: only a unit that is lost, or done with, lets it end.
  ~UnitReader();
  UnitReader(const UnitReader&) = delete;
  UnitReader& operator=(const UnitReader&) = delete;

  bool Ended() const { return ended_.load(std::memory_order_acquire); }

 private:
  void Run(std::unique_ptr<HidDevice> device);

  HidPort& port_;
  const std::string unit_;
  const Session session_;
  ReportMailbox& mailbox_;
  const ReaderOptions options_;
  const std::function<void()> done_;
  std::atomic<bool> ended_{false};
  std::thread thread_;  // last, so it starts after the members it uses exist
};

}  // namespace devlink
