// How tavrix-zodivo-cli tells what happens: data on standard output, through a bounded buffer of
// its own that the command flushes after each batch of events, status on standard error; or, with --json, one JSON object per event on standard output;
// or, with --journal, one entry per event in the system journal. Every event is stamped with the
// time it happened, not the time it is told.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "LinkEvent.h"
#include "StandardOutput.h"

namespace zodivo_cli {

using devlink::Time;

// ISO 8601 local time to the millisecond with the UTC offset: 2026-12-07T19:12:35.123+01:00.
std::string LocalTime(Time at);

// A unit being followed, as it is named.
struct FollowedUnit {
  devlink::ListedUnit listed;
  std::string identifier;  // empty until the unit has answered
};

enum class Output { kText, kJson, kJournal };

class EventPrinter {
 public:
  // `label_lines`: as text, start each log line with its unit's identifier, or its node until the
  // unit has answered, for output that mixes units.
  // `out` is standard output's descriptor, and stays the caller's; `output_bound` is what its
  // buffer keeps at most.
  EventPrinter(int out, std::FILE* err, Output output, bool timestamps, bool label_lines = false,
               std::size_t output_bound = StandardOutput::kBound);

  // Each of these returns false once the output can no longer be written; OutputFailure() then
  // says how the command ends. A log line or report that finds standard output's buffer full is
  // dropped and counted for its unit, and the drops are told once there is room again.
  bool LogLine(const FollowedUnit& unit, Time received, const std::string& text);
  // Opening a unit. As text it is told together with the unit's identity reply, or without it by
  // TellUnanswered() once a second has passed.
  bool Connected(devlink::Session session, const FollowedUnit& unit, Time at);
  bool Identity(devlink::Session session, const FollowedUnit& unit, Time received);
  void TellUnanswered(Time now);
  // When TellUnanswered() has something to tell, if ever.
  std::optional<Time> NextTell() const;
  bool Lost(devlink::Session session, const FollowedUnit& unit, Time at);
  // Writes what standard output takes now, and tells the drops once there is room; false once
  // the output can no longer be written.
  bool Flush();
  // Writes everything, waiting as long as standard output's reader takes.
  bool Drain();
  // The descriptor that can take more once standard output's reader does, while lines wait; -1
  // when none do.
  int Waiting() const { return out_.Waiting(); }
  // monitor --raw: one report, whatever it held, and what was made of it.
  bool Report(const FollowedUnit& unit, const devlink::ReceivedReport& report, const std::string& verdict);
  // One unit of the list, or one that has gone; `identifier` is empty when the unit did not answer.
  bool Unit(const devlink::ListedUnit& unit, Time at, const std::string& identifier);
  bool Gone(const std::string& unit, Time at);
  // The id command's answer.
  bool Identifier(const std::string& unit, Time received, const std::string& identifier);

  // Status on standard error: waiting for `unit` to come back, known by its serial number or by its
  // identifier; any message, after the program's name.
  void Waiting(const FollowedUnit& unit, Time now, bool by_serial);
  void Error(const std::string& message);
  // 0 when standard output's reader has gone (a pipe into head): the command ends quietly. 1
  // otherwise, after saying why, once.
  int OutputFailure();
  bool Failed() const { return output_error_ != 0; }

 private:
  using Fields = std::vector<std::pair<const char*, std::optional<std::variant<std::string, std::uint64_t>>>>;

  // One event as JSON or into the journal; `message` is what the journal shows of it.
  bool Emit(const char* event, Time at, const Fields& fields, const std::string& message,
            const FollowedUnit* unit = nullptr);
  // `droppable`: the unit whose log line or report this is, dropped while the buffer is full.
  bool Out(const std::string& line, const FollowedUnit* droppable = nullptr, Time at = {});
  // `count` of the unit's lines dropped from `at` on: on standard error as text, as an event of
  // its own otherwise.
  void TellDropped(const FollowedUnit& unit, std::uint64_t count, Time at);
  void Status(Time at, const std::string& line);
  std::string Prefix(Time at) const;
  std::string Label(const FollowedUnit& unit) const;

  StandardOutput out_;
  std::FILE* const err_;
  const Output output_;
  const bool timestamps_;
  const bool label_lines_;
  int output_error_ = 0;
  bool failure_told_ = false;
  struct Drops {
    FollowedUnit unit;
    std::uint64_t count = 0;
    Time at;
  };
  std::map<std::string, Drops> drops_;  // by the unit's instance
  // As text: the connects not yet told, with the unit's node and when each was made.
  std::map<devlink::Session, std::pair<std::string, Time>> untold_connects_;
};

}  // namespace zodivo_cli
