// The tool's one connection to the device. Any thread may ask for a connect; the reader thread
// carries it out and is the only one that calls into the HID library for it: it lists the units,
// opens one, asks it to identify itself, reads it and closes every handle it is done with. The
// outcome of each connect and loss reaches the front end through the mailbox, in order with the
// reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include <sys/types.h>

#include "DeviceIds.h"
#include "HidPort.h"
#include "ReportMailbox.h"

namespace devlink {

// Which listed unit a connect takes: the first one listed, or the first whose serial number is
// `name` or whose node `name` names, by any path to it (a udev symlink, say).
struct UnitChoice {
  std::string name;  // empty: any unit
  dev_t device = 0;  // the device number of the node `name` names, when it names one

  static UnitChoice Named(std::string name);
  bool Accepts(const ListedUnit& unit) const;
};

class DeviceLink {
 public:
  explicit DeviceLink(HidPort& port) : port_(port) {}
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Any thread; returns at once. Asks the reader to list the units with the tool's ids, take the
  // first that `choice` accepts and ask it to identify itself: the unit already open keeps its
  // handle, so that no report is lost or read twice; another one is opened and replaces it. No
  // unit, or one that cannot be opened, leaves the current unit in use. Connects asked for before
  // the reader takes them up are carried out once, with the last choice.
  void Connect(UnitChoice choice = {});

  ReportMailbox& Mailbox() { return mailbox_; }

  // The reader thread's side. Waits until a connect is asked for, or, while no unit is open, at
  // most `idle`; returns the connect asked for, if any.
  std::optional<UnitChoice> NextTurn(std::stop_token stop, std::chrono::milliseconds idle);
  void CarryOut(const UnitChoice& choice);
  // Reads one report from the open unit, waiting at most `limit`. A failed read forgets the unit.
  void ReadOnce(std::chrono::milliseconds limit);
  bool HasDevice() const { return DeviceHandle != nullptr; }
  // Closes the open unit, if any, as the reader stops.
  void Close() { DeviceHandle.reset(); }

 private:
  HidPort& port_;
  ReportMailbox mailbox_;
  std::mutex mutex_;
  std::condition_variable_any asked_;
  std::optional<UnitChoice> request_;  // guarded by mutex_
  // The reader thread's alone.
  std::unique_ptr<HidDevice> DeviceHandle;  // null while no unit is open
  std::string path_;                         // the open unit's system path
};

}  // namespace devlink
