// Standard output's own bounded buffer, so that a reader of it that is held up never holds up the
// reading of units: lines wait in memory, and go out, as many as have come, in one write as soon
// as the output takes them. A pipe, a terminal or a socket is written without waiting, through a
// handle of the program's own where the output's is shared with other processes; a file takes
// every write at once and is written as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace zodivo_cli {

class StandardOutput {
 public:
  // What may wait at most: many seconds of ten units at their full rate. Each unit's lines may take
  // an eighth of it, so that a unit that floods fills only its own share.
  static constexpr std::size_t kBound = 8 << 20;

  // `descriptor` stays the caller's.
  explicit StandardOutput(int descriptor, std::size_t bound = kBound);
  ~StandardOutput();
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  // Appends `line` and a newline. A line of a unit (`unit` names it) is dropped instead, returning
  // false, when the lines waiting, or the unit's, would go past their bound; any other line is
  // always kept.
  bool Append(std::string_view line, const std::string* unit = nullptr);
  // Writes what the output takes now; false once a write has failed (Error() says why).
  bool Flush();
  // Writes everything, waiting as long as the output's reader takes.
  bool Drain();
  // The descriptor that becomes writable once the output takes more, while lines wait for it;
  // -1 when none wait.
  int Waiting() const;
  // Whether at most half the bound waits.
  bool HasRoom() const { return waiting_ <= bound_ / 2; }
  int Error() const { return error_; }

 private:
  void Written(std::size_t bytes);

  const int descriptor_;
  const std::size_t bound_;
  int own_ = -1;  // a handle of the program's own on the same pipe or terminal, which never blocks
  bool socket_ = false;
  // What waits, in pieces of about 64 KiB, so that neither appending nor writing ever moves what
  // waits already: a copy of megabytes would hold up the reading of units.
  std::deque<std::string> chunks_;
  std::size_t written_ = 0;  // of the first piece
  std::size_t waiting_ = 0;
  // Where in the stream each unit's line waiting ends, and what each unit has waiting.
  std::uint64_t stream_written_ = 0;
  std::uint64_t stream_appended_ = 0;
  std::map<std::string, std::size_t> unit_waiting_;
  struct UnitLine {
    std::uint64_t end;
    std::size_t size;
    std::map<std::string, std::size_t>::iterator unit;
  };
  std::deque<UnitLine> unit_lines_;
  int error_ = 0;
};

}  // namespace zodivo_cli
