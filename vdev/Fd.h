// An owned file descriptor, closed when its owner goes: an early failure while a device is being
// set up leaks none of the descriptors opened before it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace vdev {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Fd(std::move(other)).Swap(*this);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Swap(Fd& other) noexcept { std::swap(fd_, other.fd_); }

 private:
  int fd_ = -1;
};

// The descriptor a call returned, or a std::system_error saying what failed.
inline Fd Checked(int fd, const std::string& what) {
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), what);
  }
  return Fd(fd);
}

}  // namespace vdev
