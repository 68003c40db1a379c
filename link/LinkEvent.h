// What the reader hands over to a front end through the mailbox, in the order it happened: the
// reports that the device sent, and the outcome of each connect and each loss, so that a front end
// learns of a new unit before it sees anything that unit sent.
#pragma once

#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <variant>

#include "HidPort.h"
#include "ReportFrame.h"

namespace devlink {

// A report with a good checksum, and when the reader received it.
struct ReceivedReport {
  ReportFrame frame;
  std::chrono::system_clock::time_point received;
};

// A connect opened `unit`, or kept it when it was the unit already open; its identity request is
// on its way.
struct Connected {
  ListedUnit unit;
  bool kept = false;
};

// A connect changed nothing: no unit was listed (`unit` empty), `unit` could not be opened
// (`error` says why), or the HID library failed (`exception`).
struct ConnectFailed {
  std::string unit;
  std::error_code error;
  std::exception_ptr exception;
};

// Reading `unit` failed: it is gone, and no unit is open.
struct Lost {
  std::string unit;
};

using LinkEvent = std::variant<ReceivedReport, Connected, ConnectFailed, Lost>;

}  // namespace devlink
