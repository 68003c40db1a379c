// A mutex whose lock can also give up after a bounded wait on the steady clock.
// std::timed_mutex would do, but its steady-clock wait goes through pthread_mutex_clocklock, which
// ThreadSanitizer does not see, so every unlock would be reported as an error; this one is built
// from a mutex and a condition variable, which it does see.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace devlink {

class TimedLock {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    released_.wait(guard, [this] { return !held_; });
    held_ = true;
  }

  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
    std::unique_lock guard(mutex_);
    if (!released_.wait_for(guard, wait, [this] { return !held_; })) {
      return false;
    }
    held_ = true;
    return true;
  }

  void unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    released_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;  // guarded by mutex_
};

}  // namespace devlink
