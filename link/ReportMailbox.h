// The hand-over of good frames from the reader thread to the window: a bounded queue that keeps
// every frame in arrival order, guarded by a lock that neither side waits for longer than 10 ms.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ReportFrame.h"
#include "TimedLock.h"

namespace devlink {

class ReportMailbox {
 public:
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::chrono::milliseconds kLockWait{10};

  ReportMailbox() { pending_.reserve(kCapacity); }

  // Appends a frame. Drops it, and counts the drop, when the queue is full or the lock stays
  // busy for 10 ms; returns whether it was kept.
  bool Post(const ReportFrame& frame);

  // Replaces `frames` with every pending frame, oldest first, and leaves the queue empty.
  // Only the swap happens under the lock, so handling the frames never delays the reader.
  // Returns false, leaving `frames` empty, when the lock stayed busy for 10 ms.
  bool TakeAll(std::vector<ReportFrame>& frames);

  std::uint64_t DroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  TimedLock MailboxLock;
  std::vector<ReportFrame> pending_;  // guarded by MailboxLock
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace devlink
