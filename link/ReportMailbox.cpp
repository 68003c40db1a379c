#include "ReportMailbox.h"

namespace devlink {

bool ReportMailbox::Post(const ReportFrame& frame) {
  std::unique_lock lock(MailboxLock, kLockWait);
  if (!lock.owns_lock() || pending_.size() >= kCapacity) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  pending_.push_back(frame);
  return true;
}

bool ReportMailbox::TakeAll(std::vector<ReportFrame>& frames) {
  frames.clear();
  std::unique_lock lock(MailboxLock, kLockWait);
  if (!lock.owns_lock()) {
    return false;
  }
  // The caller's emptied buffer becomes the new queue, so steady operation allocates nothing.
  frames.swap(pending_);
  if (pending_.capacity() < kCapacity) {
    pending_.reserve(kCapacity);
  }
  return true;
}

}  // namespace devlink
