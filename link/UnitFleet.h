// Every unit with the tool's ids, followed on request. Two threads share the work. The fleet's own
// thread lists the units, watches them come and go without polling, and opens and closes them:
// the HID library keeps one error string for every open, unguarded, and Linux holds every open and
// close of a hidraw node while a write to any node is under way, so none of that may hold up the
// reading. The front end's thread reads every followed unit at once in Next(), from descriptors
// that never block, and gets what they sent there, in order, without a hand-over between threads.
// Identity requests go out on threads of their own, since a unit that does not take one holds its
// write up for seconds. Units are told apart by their instance, never by their node, which the
// next unit plugged in takes at once: a unit is opened only while its node still holds it, and
// nothing is ever opened for a unit that has gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "HidPort.h"
#include "HotplugMonitor.h"
#include "LinkEvent.h"
#include "UnitReader.h"

namespace devlink {

// The units the fleet follows by itself, as it lists them and as they come, without waiting for a
// front end.
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
  using Clock = std::chrono::steady_clock;

  // Starts at once by listing the units (UnitsPresent). `port` and `units` must outlive the fleet.
  UnitFleet(HidPort& port, HotplugMonitor& units, FleetOptions options = {});
  // Stops watching, closes every unit and waits for the requests under way. Front ends that end
  // the process with units still open leave the fleet be.
  ~UnitFleet();
  UnitFleet(const UnitFleet&) = delete;
  UnitFleet& operator=(const UnitFleet&) = delete;

  // Any thread; returns at once. The fleet's thread opens `unit`, a unit it told of, and Next()
  // then tells Connected with a new session, asks the unit and reads it; or tells ConnectFailed,
  // with ENODEV for a unit that has gone.
  void Follow(const ListedUnit& unit, ReaderOptions options = {});

  // Waits until something has happened, `stop` is requested, `deadline` has passed, or
  // `writable`, a descriptor (-1: none), can take output; then replaces `events` with what has
  // happened since the last call, oldest first, having read every followed unit that had reports
  // waiting. Called from one thread only, the one that reads the units. False once `stop` is
  // requested.
  bool Next(std::stop_token stop, std::optional<Clock::time_point> deadline, std::vector<LinkEvent>& events,
            int writable = -1);

 private:
  struct Retry;
  // What the fleet's thread and the request writers tell the reading thread: an event, a unit
  // opened (`descriptor`), or the outcome of a request (`Asked`, which the unit's reader tells).
  struct Posted {
    LinkEvent event;
    int descriptor = -1;
    ReaderOptions options;
  };

  void Run(std::stop_token stop);
  void Post(LinkEvent event, int descriptor = -1, ReaderOptions options = {});
  void Arrived(const ListedUnit& unit, Time at);
  void Left(const ListedUnit& unit, Time at);
  void Reconcile(const std::string& node);
  void Relist();
  // Follows `unit` if the fleet follows such units by itself, trying again quietly while the unit
  // refuses to be opened, until `quiet_until`.
  void FollowItself(const ListedUnit& unit);
  void OpenFollowed(const ListedUnit& unit, Clock::time_point quiet_until);
  // Opens `unit`, or posts why it cannot; false, posting nothing, when the unit refused to be
  // opened and `quiet_refusal` holds.
  bool Open(const ListedUnit& unit, const ReaderOptions& options, bool quiet_refusal);
  bool Listed(const ListedUnit& unit) const;

  // The reading thread's.
  void TakePosted(std::vector<LinkEvent>& events);
  void Ask(Session session, const std::string& unit);
  void Watch(int writable);
  void Retire();

  HidPort& port_;
  HotplugMonitor& units_;
  const FleetOptions options_;
  const int wake_;   // an eventfd that wakes the fleet's thread: a follow asked for, a unit to close
  const int news_;   // an eventfd that wakes the reading thread: something posted, or a stop
  const int ready_;  // the reading thread's epoll: news_, every unit read, and `writable`
  std::mutex mutex_;
  std::condition_variable requests_done_;
  // Guarded by mutex_.
  std::vector<std::pair<ListedUnit, ReaderOptions>> requests_;
  std::vector<int> to_close_;
  std::vector<Posted> posted_;
  int requests_under_way_ = 0;
  // The fleet thread's alone.
  std::vector<ListedUnit> listed_;
  std::vector<Retry> retries_;
  Session last_session_ = 0;
  // The reading thread's alone.
  std::map<Session, std::unique_ptr<UnitReader>> readers_;
  int writable_ = -1;
  std::jthread thread_;  // last, so it starts after the members it uses exist
};

}  // namespace devlink
