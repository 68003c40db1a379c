// One followed unit, as the fleet's reading thread reads it: it has the unit asked to identify
// itself (again, a few times, while a unit that took the request does not answer), takes what the
// unit's descriptor holds without ever waiting, and turns it into events with the unit's session.
// It has no thread of its own: the fleet reads every unit on one thread, which wakes only when a
// unit has sent something or a limit has passed, so that a silent unit costs nothing.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "LinkEvent.h"
#include "MessageDecoder.h"

namespace devlink {

struct ReaderOptions {
  // Hand over every report, whatever it holds, rather than only those with a good checksum.
  bool every_report = false;
  // Be done with the unit once it has answered, or once `answer_limit` has passed since its
  // request went out: for front ends that only ask.
  bool ask_only = false;
  // Hold back what the unit sends until it answers with this identifier; let it go if it answers
  // with another, or with none within `answer_limit`. Empty: take the unit as it is.
  std::string expected_identifier;
  std::chrono::milliseconds answer_limit{1000};
};

class UnitReader {
 public:
  using Clock = std::chrono::steady_clock;

  // `ask` sends the identity request, whose outcome comes back through Asked(); it is called here
  // first. `descriptor` stays the caller's.
  UnitReader(int descriptor, std::string unit, Session session, ReaderOptions options, std::function<void()> ask);
  UnitReader(const UnitReader&) = delete;
  UnitReader& operator=(const UnitReader&) = delete;

  int Descriptor() const { return descriptor_; }
  // Whether the reader is done with the unit: it was lost, answered a front end that only asked,
  // or was let go.
  bool Ended() const { return ended_; }

  // The request went out, or the unit did not take it.
  void Asked(bool taken, std::vector<LinkEvent>& events);
  // Takes the next report, if one waits.
  void Read(std::vector<LinkEvent>& events);
  // When the reader has something to do though the unit sends nothing, if ever.
  std::optional<Clock::time_point> Due() const;
  // Does it, once Due() has passed.
  void Tick(std::vector<LinkEvent>& events);

 private:
  void Take(ReceivedReport& report, bool valid, std::vector<LinkEvent>& events);

  const int descriptor_;
  const std::string unit_;
  const Session session_;
  const ReaderOptions options_;
  const std::function<void()> ask_;
  MessageDecoder decoder_;
  int asks_ = 1;
  bool answered_ = false;
  // Only a reader that goes on reading asks again; one that waits for the answer has a limit.
  std::optional<Clock::time_point> ask_again_at_;
  std::optional<Clock::time_point> answer_by_;
  bool verifying_;
  std::vector<ReceivedReport> held_;  // while verifying
  bool ended_ = false;
};

}  // namespace devlink
