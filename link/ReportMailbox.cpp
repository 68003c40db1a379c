#include "ReportMailbox.h"

#include <utility>

namespace devlink {

bool ReportMailbox::PostReport(const ReceivedReport& report, bool keep) {
  {
    std::lock_guard lock(MailboxLock);
    std::size_t& waiting = pending_reports_[report.session];
    if (waiting >= session_capacity_ && !keep) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      if (const auto [mark, first] = drops_.try_emplace(report.session, pending_.size()); first) {
        pending_.emplace_back(Dropped{report.session, 1, report.received});
      } else {
        ++std::get<Dropped>(pending_[mark->second]).count;
      }
      return false;
    }
    pending_.emplace_back(report);
    ++waiting;
  }
  Posted();
  return true;
}

void ReportMailbox::Post(LinkEvent news) {
  {
    std::lock_guard lock(MailboxLock);
    pending_.push_back(std::move(news));
  }
  Posted();
}

void ReportMailbox::Posted() {
  {
    std::lock_guard guard(wake_mutex_);
    // A front end already told of pending events takes these with them.
    if (std::exchange(has_events_, true)) return;
  }
  posted_.notify_one();
}

bool ReportMailbox::TakeAll(std::vector<LinkEvent>& events) {
  events.clear();
  std::unique_lock lock(MailboxLock, kLockWait);
  if (!lock.owns_lock()) {
    return false;
  }
  // The caller's emptied buffer becomes the new queue, so steady operation allocates nothing.
  events.swap(pending_);
  pending_reports_.clear();
  drops_.clear();
  if (pending_.capacity() < kCapacity) {
    pending_.reserve(kCapacity);
  }
  std::lock_guard guard(wake_mutex_);
  has_events_ = false;
  return true;
}

bool ReportMailbox::WaitForEvents(std::stop_token stop, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(wake_mutex_);
  return posted_.wait_until(guard, stop, deadline, [this] { return has_events_; });
}

bool ReportMailbox::WaitForEvents(std::stop_token stop) {
  std::unique_lock guard(wake_mutex_);
  return posted_.wait(guard, stop, [this] { return has_events_; });
}

}  // namespace devlink
