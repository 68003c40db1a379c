// Every unit with the tool's ids, followed on request, each by a reader of its own. One thread,
// the fleet's, lists the units and opens them: the HID library keeps one error string for both,
// unguarded, so no two threads may list or open at once. With a hotplug monitor it also tells of
// every unit that comes or goes, without polling; without one it lists once.
#pragma once

#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "HidPort.h"
#include "HotplugMonitor.h"
#include "LinkEvent.h"
#include "ReportMailbox.h"
#include "UnitReader.h"

namespace devlink {

class UnitFleet {
 public:
  // Starts at once by listing the units (UnitsPresent); then, with `hotplug`, posts UnitArrived and
  // UnitLeft as units come and go. `port` and `hotplug` must outlive the fleet.
  UnitFleet(HidPort& port, HotplugMonitor* hotplug);
  // Stops watching and waits for every reader: each unit followed must be lost or done with first.
  // Front ends that end the process with units still open leave the fleet be.
  ~UnitFleet();
  UnitFleet(const UnitFleet&) = delete;
  UnitFleet& operator=(const UnitFleet&) = delete;

  // Any thread; returns at once. The fleet's thread opens `unit` and posts Connected with a new
  // session, whose reader then asks the unit and reads it; or posts ConnectFailed.
  void Follow(const ListedUnit& unit, ReaderOptions options = {});

  ReportMailbox& Mailbox() { return mailbox_; }

 private:
  void Run(std::stop_token stop);
  void Wake();
  void Relist();
  void Open(const ListedUnit& unit, ReaderOptions options);

  HidPort& port_;
  HotplugMonitor* const hotplug_;
  ReportMailbox mailbox_;
  const int wake_;  // an eventfd: a follow asked for, a reader ended, or the fleet stopping
  std::mutex mutex_;
  std::vector<std::pair<ListedUnit, ReaderOptions>> requests_;  // guarded by mutex_
  // The fleet thread's alone.
  std::vector<ListedUnit> listed_;
  std::vector<std::unique_ptr<UnitReader>> readers_;
  Session last_session_ = 0;
  std::jthread thread_;  // last, so it starts after the members it uses exist
};

}  // namespace devlink
