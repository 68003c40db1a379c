// Every unit with the tool's ids, followed on request, each by a reader of its own. One thread,
// the fleet's, lists the units and opens them: the HID library keeps one error string for every
// open, unguarded, so no two threads may open at once. With `watch` it also tells of every unit
// that comes or goes, without polling. Units are told apart by their instance, never by their
// node, which the next unit plugged in takes at once: a unit is opened only while its node still
// holds it, and nothing is ever opened for a unit that has gone.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "HidPort.h"
#include "HotplugMonitor.h"
#include "LinkEvent.h"
#include "ReportMailbox.h"
#include "UnitReader.h"

namespace devlink {

// The units the fleet follows by itself, as it lists them and as they come, without waiting for a
// front end: a unit plugged in while the front end is held up is opened and read into its own
// queue all the same.
struct AutoFollow {
  ReaderOptions reading;
  bool present = true;                               // also those plugged in when watching began
  std::function<bool(const ListedUnit&)> accepts;    // empty: every unit
};

struct FleetOptions {
  bool watch = false;  // tell of units that come and go (UnitArrived, UnitLeft)
  std::optional<AutoFollow> follow;
};

class UnitFleet {
 public:
  // Each session may have this many reports waiting for the front end: four seconds of a unit
  // sending at the full rate of its endpoint.
  static constexpr std::size_t kUnitQueue = 4096;

  // Starts at once by listing the units (UnitsPresent). `port` and `units` must outlive the fleet.
  UnitFleet(HidPort& port, HotplugMonitor& units, FleetOptions options = {});
  // Stops watching and waits for every reader: each unit followed must be lost or done with first.
  // Front ends that end the process with units still open leave the fleet be.
  ~UnitFleet();
  UnitFleet(const UnitFleet&) = delete;
  UnitFleet& operator=(const UnitFleet&) = delete;

  // Any thread; returns at once. The fleet's thread opens `unit`, a unit it told of, and posts
  // Connected with a new session, whose reader then asks the unit and reads it; or posts
  // ConnectFailed, with ENODEV for a unit that has gone.
  void Follow(const ListedUnit& unit, ReaderOptions options = {});

  ReportMailbox& Mailbox() { return mailbox_; }

 private:
  struct Retry;

  void Run(std::stop_token stop);
  void Wake();
  void Arrived(const ListedUnit& unit, Time at);
  void Left(const ListedUnit& unit, Time at);
  void Reconcile(const std::string& node);
  void Relist();
  // Follows `unit` if the fleet follows such units by itself, trying again quietly while the unit
  // refuses to be opened, until `quiet_until`.
  void FollowItself(const ListedUnit& unit);
  void OpenFollowed(const ListedUnit& unit, std::chrono::steady_clock::time_point quiet_until);
  // Opens `unit`, or posts why it cannot; false, posting nothing, when the unit refused to be
  // opened and `quiet_refusal` holds.
  bool Open(const ListedUnit& unit, const ReaderOptions& options, bool quiet_refusal);
  bool Listed(const ListedUnit& unit) const;

  HidPort& port_;
  HotplugMonitor& units_;
  const FleetOptions options_;
  ReportMailbox mailbox_{kUnitQueue};
  const int wake_;  // an eventfd: a follow asked for, a reader ended, or the fleet stopping
  std::mutex mutex_;
  std::vector<std::pair<ListedUnit, ReaderOptions>> requests_;  // guarded by mutex_
  // The fleet thread's alone.
  std::vector<ListedUnit> listed_;
  std::vector<Retry> retries_;
  std::vector<std::unique_ptr<UnitReader>> readers_;
  Session last_session_ = 0;
  std::jthread thread_;  // last, so it starts after the members it uses exist
};

}  // namespace devlink
