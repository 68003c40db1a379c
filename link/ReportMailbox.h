// The hand-over from the reader threads to a front end: a queue that keeps every report and every
// piece of news of the link in arrival order, bounded for each session on its own, so that a unit
// that floods fills only its own share; guarded by a lock that neither side holds for longer than a
// copy or a swap.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <unordered_map>
#include <vector>

#include "LinkEvent.h"
#include "ReportFrame.h"
#include "TimedLock.h"

namespace devlink {

class ReportMailbox {
 public:
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::chrono::milliseconds kLockWait{10};

  // Each session may have `session_capacity` reports waiting.
  explicit ReportMailbox(std::size_t session_capacity = kCapacity) : session_capacity_(session_capacity) {
    pending_.reserve(kCapacity);
  }

  // Appends a report. Drops it, and counts the drop for its session, when the session's capacity
  // of reports waits already, unless it must be kept (an identity reply, which nothing else
  // replaces); returns whether it was kept. Waits for the lock as long as it takes: the front end
  // holds it only for a swap, so a wait means that the front end's thread was stopped inside it,
  // and the kernel keeps the unit's next reports meanwhile, whereas a report given up here would be
  // lost.
  bool PostReport(const ReceivedReport& report, bool keep = false);

  // Appends the outcome of a connect or a loss. Never dropped: a front end that missed one would
  // show a unit that is gone, so this waits for the lock as long as it takes.
  void Post(LinkEvent news);

  // Replaces `events` with every pending event, oldest first, and leaves the queue empty. Where a
  // session's reports began to be dropped, a Dropped event stands, counting them all.
  // Only the swap happens under the lock, so handling the events never delays the reader.
  // Returns false, leaving `events` empty, when the lock stayed busy for 10 ms.
  bool TakeAll(std::vector<LinkEvent>& events);

  // Waits until an event is pending, `stop` is requested or `deadline` has passed; true when an
  // event is pending. For front ends that print what comes as it comes.
  bool WaitForEvents(std::stop_token stop, std::chrono::steady_clock::time_point deadline);
  // The same with no deadline, so that a front end with nothing to do never wakes.
  bool WaitForEvents(std::stop_token stop);

  std::uint64_t DroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void Posted();

  const std::size_t session_capacity_;
  TimedLock MailboxLock;
  std::vector<LinkEvent> pending_;  // guarded by MailboxLock, and so are the two maps
  std::unordered_map<Session, std::size_t> pending_reports_;
  std::unordered_map<Session, std::size_t> drops_;  // where each session's Dropped stands
  std::atomic<std::uint64_t> dropped_{0};
  std::mutex wake_mutex_;
  std::condition_variable_any posted_;
  bool has_events_ = false;  // guarded by wake_mutex_
};

}  // namespace devlink
