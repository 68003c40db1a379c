#include "StandardOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace zodivo_cli {
namespace {

constexpr std::size_t kChunk = 64 << 10;

}  // namespace

StandardOutput::StandardOutput(int descriptor, std::size_t bound) : descriptor_(descriptor), bound_(bound) {
  struct stat status {};
  const int flags = fcntl(descriptor, F_GETFL);
  // A handle not open for writing stays the one written, so that the writes fail as they would.
  if (fstat(descriptor, &status) != 0 || flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return;
  socket_ = S_ISSOCK(status.st_mode);
  if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) return;
  // Opened anew rather than made non-blocking: the handle's flags are shared with every process
  // that has it, such as the shell that started the program. Where /proc is missing, the output
  // is written as it is, waiting when its reader does.
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
  own_ = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

StandardOutput::~StandardOutput() {
  if (own_ >= 0) close(own_);
}

bool StandardOutput::Append(std::string_view line, const std::string* unit) {
  const std::size_t size = line.size() + 1;
  if (unit != nullptr) {
    const auto waiting = unit_waiting_.try_emplace(*unit, 0).first;
    if (waiting_ + size > bound_ || waiting->second + size > bound_ / 8) return false;
    waiting->second += size;
    unit_lines_.push_back({stream_appended_ + size, size, waiting});
  }
  if (chunks_.empty() || chunks_.back().size() + size > kChunk) chunks_.emplace_back().reserve(std::max(kChunk, size));
  chunks_.back().append(line);
  chunks_.back() += '\n';
  waiting_ += size;
  stream_appended_ += size;
  return true;
}

bool StandardOutput::Flush() {
  while (error_ == 0 && waiting_ > 0) {
    const std::string& first = chunks_.front();
    const ssize_t wrote = socket_ ? send(descriptor_, first.data() + written_, first.size() - written_,
                                         MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : write(own_ >= 0 ? own_ : descriptor_, first.data() + written_, first.size() - written_);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) error_ = errno;
      break;
    }
    Written(static_cast<std::size_t>(wrote));
  }
  if (waiting_ == 0) unit_waiting_.clear();  // every unit's share is empty
  return error_ == 0;
}

void StandardOutput::Written(std::size_t bytes) {
  written_ += bytes;
  waiting_ -= bytes;
  stream_written_ += bytes;
  if (written_ == chunks_.front().size()) {
    // The last piece is kept for the next lines, as steady output fits in one.
    if (chunks_.size() == 1) {
      chunks_.front().clear();
    } else {
      chunks_.pop_front();
    }
    written_ = 0;
  }
  for (; !unit_lines_.empty() && unit_lines_.front().end <= stream_written_; unit_lines_.pop_front()) {
    unit_lines_.front().unit->second -= unit_lines_.front().size;
  }
}

bool StandardOutput::Drain() {
  while (Flush() && Waiting() >= 0) {
    pollfd room{Waiting(), POLLOUT, 0};
    if (poll(&room, 1, -1) < 0 && errno != EINTR) break;
  }
  return error_ == 0;
}

int StandardOutput::Waiting() const {
  if (error_ != 0 || waiting_ == 0) return -1;
  return own_ >= 0 ? own_ : descriptor_;
}

}  // namespace zodivo_cli
