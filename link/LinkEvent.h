// What the readers hand over to a front end through the mailbox, in the order it happened: the
// reports that a unit sent, the outcome of each connect and each loss, so that a front end learns
// of a new unit before it sees anything that unit sent, and the units that come and go.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "HidPort.h"
#include "ReportFrame.h"

namespace devlink {

using Time = std::chrono::system_clock::time_point;

// One opening of one unit. Each open gets a new one, so that nothing a unit sends is ever taken
// for what another unit sent before it on the same node. The window's single link leaves it 0.
using Session = std::uint64_t;

// A report as the reader received it: with a good checksum, or any report at all where the front
// end asked for every one. `length` is how many bytes came.
struct ReceivedReport {
  ReportFrame frame;
  Time received;
  Session session = 0;
  std::size_t length = kFrameSize;
};

// A connect opened `unit`, or kept it when it was the unit already open; its identity request is
// on its way.
struct Connected {
  ListedUnit unit;
  bool kept = false;
  Time at;
  Session session = 0;
};

// A connect changed nothing: no unit was listed (`unit` empty), `unit` could not be opened
// (`error` says why; ENODEV when its node has since been given to another unit), or the HID
// library failed (`exception`).
struct ConnectFailed {
  std::string unit;
  std::error_code error;
  std::exception_ptr exception;
  std::string instance;  // the unit's, where the fleet was asked to follow one
};

// Reading `unit` failed: it is gone, and its handle is closed.
struct Lost {
  std::string unit;
  Time at;
  Session session = 0;
};

// The identity request has gone out to the unit, or it did not take it (`taken` false).
struct Asked {
  Session session = 0;
  Time at;
  bool taken = true;
};

// The unit answered with another identifier than the one expected of it, or with none in time;
// it is closed, and nothing it sent was handed over.
struct LetGo {
  Session session = 0;
  std::string identifier;  // empty when it did not answer
};

// Reports of one session that found its queue full and were dropped since the front end last
// took the queue, counted from `at`, when the first of them was.
struct Dropped {
  Session session = 0;
  std::uint64_t count = 0;
  Time at;
};

// The unit was asked to identify itself several times and never answered.
struct Unanswered {
  Session session = 0;
  Time at;
};

// The units with the tool's ids listed when watching began.
struct UnitsPresent {
  std::vector<ListedUnit> units;
};

// A unit listed since, or one that went away (its node may already hold another).
struct UnitArrived {
  ListedUnit unit;
  Time at;
};
struct UnitLeft {
  ListedUnit unit;
  Time at;
};

using LinkEvent =
    std::variant<ReceivedReport, Connected, ConnectFailed, Lost, Asked, LetGo, Dropped, Unanswered, UnitsPresent,
                 UnitArrived, UnitLeft>;

}  // namespace devlink
