// How tavrix-zodivo-cli prints what happens: data on standard output, status on standard error,
// each line flushed as it comes; or, with --json, one JSON object per event on standard output.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "HidPort.h"

namespace zodivo_cli {

using Time = std::chrono::system_clock::time_point;

// ISO 8601 local time to the millisecond with the UTC offset: 2026-12-07T19:12:35.123+01:00.
std::string LocalTime(Time at);

class EventPrinter {
 public:
  EventPrinter(std::FILE* out, std::FILE* err, bool json, bool timestamps);

  // Each of these returns false once standard output can no longer be written; OutputFailure()
  // then says how the command ends.
  bool LogLine(const std::string& unit, Time received, const std::string& text);
  // A connect opened `unit`. As text it is told together with the unit's identity reply, or
  // without it by TellUnanswered() if the unit does not answer.
  bool Connected(const devlink::ListedUnit& unit, Time at);
  bool Identity(const std::string& unit, Time received, const std::string& identifier);
  void TellUnanswered(Time now);
  bool Lost(const std::string& unit, Time at);
  // One unit of the list; `identifier` is empty when the unit did not answer.
  bool Unit(const devlink::ListedUnit& unit, Time at, const std::string& identifier);
  // The id command's answer.
  bool Identifier(const std::string& unit, Time received, const std::string& identifier);

  // A message on standard error, after the program's name.
  void Error(const std::string& message);
  // 0 when standard output's reader has gone (a pipe into head): the command ends quietly. 1
  // otherwise, after saying why.
  int OutputFailure();

 private:
  bool Out(const std::string& line);
  void Status(Time at, const std::string& line);
  std::string Prefix(Time at) const;

  std::FILE* const out_;
  std::FILE* const err_;
  const bool json_;
  const bool timestamps_;
  int output_error_ = 0;
  // As text: the connect not yet told, and until when its identity reply is waited for.
  std::optional<std::string> untold_connect_;
  Time tell_by_;
};

}  // namespace zodivo_cli
