#include "Commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "Journal.h"
#include "MessageDecoder.h"
#include "Overloaded.h"

namespace zodivo_cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using devlink::LinkEvent;
using devlink::ListedUnit;
using devlink::Session;

// How long list waits for each unit's answer once the unit has taken the request.
constexpr std::chrono::seconds kListReplyWait{1};
// A unit that has just appeared may not be open to its user yet: udev gives its node a group and
// mode a moment later. Opening it is tried again this often, quietly for this long.
constexpr std::chrono::milliseconds kRetryPeriod{100};
constexpr std::chrono::seconds kQuietRetries{2};
// With many units, lines come closer together than a wake-up of the printer costs, so monitor --all
// takes what has come at most this often, several lines a wake-up: a delay that no reader of a
// bench's log can see.
constexpr std::chrono::milliseconds kBenchGather{2};

Time Now() { return std::chrono::system_clock::now(); }

bool PermissionDenied(const devlink::ConnectFailed& failed) {
  return failed.error.value() == EACCES || failed.error.value() == EPERM;
}

bool Gone(const devlink::ConnectFailed& failed) {
  return failed.error.value() == ENOENT || failed.error.value() == ENODEV || failed.error.value() == ENXIO;
}

// Why a connect changed nothing, in words that say what to do.
std::string Describe(const devlink::ConnectFailed& failed, const devlink::UnitChoice& choice) {
  if (failed.exception) {
    try {
      std::rethrow_exception(failed.exception);
    } catch (const std::exception& error) {
      return error.what();
    } catch (...) {
      return "the HID library failed";
    }
  }
  if (failed.unit.empty()) {
    return choice.name.empty() ? "no Tavrix Omrin M3 is plugged in"
                               : "no Tavrix Omrin M3 is plugged in as " + choice.name;
  }
  const std::string cannot = "cannot open " + failed.unit + ": ";
  if (PermissionDenied(failed)) {
    return cannot + "permission denied (the user at the machine's seat, members of the group plugdev and root may "
                    "open it)";
  }
  if (Gone(failed)) return cannot + "it is gone";
  if (failed.error.value() == EBUSY) return cannot + "busy";
  return cannot + (failed.error ? failed.error.message() : "the HID library did not say why");
}

std::string Seconds(std::chrono::microseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(duration).count());
  return text;
}

// What a report is, in the words of monitor --raw.
std::string Verdict(const devlink::ReceivedReport& report) {
  const devlink::FrameCheck check = devlink::CheckFrame(report.frame, report.length);
  char words[64];
  switch (check.kind) {
    case devlink::FrameKind::kLog:
      return "log";
    case devlink::FrameKind::kIdentity:
      return "identity";
    case devlink::FrameKind::kShort:
      return "short report (" + std::to_string(report.length) + " bytes)";
    case devlink::FrameKind::kBadChecksum:
      std::snprintf(words, sizeof words, "bad checksum (got %08X, want %08X)", check.stored_checksum,
                    check.computed_checksum);
      return words;
    case devlink::FrameKind::kWrongSignature:
      return "wrong signature";
    case devlink::FrameKind::kWrongDirection:
      return "wrong direction";
    case devlink::FrameKind::kUnknownCode:
      std::snprintf(words, sizeof words, "unknown code 0x%02X", report.frame[devlink::kCodeOffset]);
      return words;
  }
  return {};
}

// The identifier in a report, if it is an identity reply.
std::optional<std::string> IdentifierIn(devlink::MessageDecoder& decoder, const devlink::ReceivedReport& report) {
  if (report.length != devlink::kFrameSize) return std::nullopt;
  devlink::DeviceMessage message = decoder.Decode(report.frame);
  if (auto* identity = std::get_if<devlink::IdentityMessage>(&message)) return std::move(identity->identifier);
  return std::nullopt;
}

// Waits for the next events, until `deadline` at most if there is one; false once `stop` is asked.
devlink::ReaderOptions AskOnly(std::chrono::milliseconds answer_limit) {
  devlink::ReaderOptions options;
  options.ask_only = true;
  options.answer_limit = answer_limit;
  return options;
}

bool NextEvents(devlink::ReportMailbox& mailbox, std::stop_token stop, std::optional<Clock::time_point> deadline,
                std::vector<LinkEvent>& events) {
  if (deadline) {
    mailbox.WaitForEvents(stop, *deadline);
  } else {
    mailbox.WaitForEvents(stop);
  }
  mailbox.TakeAll(events);
  return !stop.stop_requested();
}

void Earliest(std::optional<Clock::time_point>& deadline, std::optional<Clock::time_point> other) {
  if (other && (!deadline || *other < *deadline)) deadline = other;
}

std::optional<Clock::time_point> OnSteadyClock(std::optional<Time> at) {
  if (!at) return std::nullopt;
  return Clock::now() + std::chrono::ceil<std::chrono::milliseconds>(*at - Now());
}

}  // namespace

bool WatchesHotplug(const CliOptions& options) {
  return options.watch || options.new_unit || options.all || options.reconnect;
}

// --- list -----------------------------------------------------------------------------------

int RunList(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  // One line to come, in the order the units were listed or came and went.
  struct Line {
    ListedUnit unit;
    bool gone = false;
    Session session = 0;
    std::optional<Clock::time_point> answer_by;  // from when the unit took the request
    std::string identifier;
    bool done = false;
    Time at = Now();
  };
  const auto gone = [](const std::string& unit, Time at) {
    Line line;
    line.unit.path = unit;
    line.gone = line.done = true;
    line.at = at;
    return line;
  };
  std::deque<Line> lines;
  std::set<std::string> shown;  // the units listed and not gone
  bool listed = false;
  devlink::MessageDecoder decoder;
  const auto ask = [&](const ListedUnit& unit) {
    if (!options.unit.Accepts(unit)) return;
    shown.insert(unit.path);
    lines.emplace_back().unit = unit;
    fleet.Follow(unit, AskOnly(kListReplyWait));
  };
  const auto line_of = [&](auto matches) {
    const auto found = std::ranges::find_if(lines, [&](const Line& line) { return !line.done && matches(line); });
    return found != lines.end() ? &*found : nullptr;
  };
  const auto by_session = [&](Session session) {
    return line_of([&](const Line& line) { return line.session == session; });
  };
  std::vector<LinkEvent> events;
  for (std::optional<Clock::time_point> deadline; NextEvents(fleet.Mailbox(), stop, deadline, events);) {
    for (LinkEvent& event : events) {
      int status = -1;
      std::visit(devlink::Overloaded{
                     [&](const devlink::UnitsPresent& present) {
                       listed = true;
                       for (const ListedUnit& unit : present.units) ask(unit);
                     },
                     [&](const devlink::UnitArrived& arrived) { ask(arrived.unit); },
                     [&](const devlink::UnitLeft& left) {
                       if (shown.erase(left.unit) > 0) lines.push_back(gone(left.unit, left.at));
                     },
                     [&](const devlink::Connected& connected) {
                       const auto unit = connected.unit.path;
                       if (Line* line = line_of([&](const Line& l) { return l.session == 0 && l.unit.path == unit; })) {
                         line->session = connected.session;
                       }
                     },
                     [&](const devlink::ConnectFailed& failed) {
                       print.Error(Describe(failed, options.unit));
                       if (failed.exception) status = 1;
                       if (Line* line = line_of([&](const Line& l) { return l.session == 0 && l.unit.path == failed.unit; })) {
                         line->done = true;
                       }
                     },
                     [&](const devlink::Asked& asked) {
                       if (Line* line = by_session(asked.session)) {
                         line->done = !asked.taken;
                         line->answer_by = Clock::now() + kListReplyWait;
                       }
                     },
                     [&](const devlink::ReceivedReport& report) {
                       Line* line = by_session(report.session);
                       if (line == nullptr) return;
                       if (auto identifier = IdentifierIn(decoder, report)) {
                         line->identifier = std::move(*identifier);
                         line->done = true;
                       }
                     },
                     [&](const devlink::Lost& lost) {
                       if (Line* line = by_session(lost.session)) line->done = true;
                     },
                     [](const auto&) {},
                 },
                 event);
      if (status >= 0) return status;
    }
    deadline.reset();
    for (Line& line : lines) {
      if (!line.done && line.answer_by && Clock::now() >= *line.answer_by) line.done = true;
      if (!line.done) Earliest(deadline, line.answer_by);
    }
    // In order: a line waits for those before it.
    while (!lines.empty() && lines.front().done) {
      const Line& line = lines.front();
      if (!(line.gone ? print.Gone(line.unit.path, line.at) : print.Unit(line.unit, line.at, line.identifier))) {
        return print.OutputFailure();
      }
      lines.pop_front();
    }
    if (listed && lines.empty() && !options.watch) return 0;
  }
  return 0;
}

// --- id -------------------------------------------------------------------------------------

int RunId(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  const auto started = Clock::now();
  const auto limit = options.timeout.value_or(kDefaultIdTimeout);
  // Without --timeout, id --new waits for a unit as long as it takes, then as long as id does for
  // its answer.
  std::optional<Clock::time_point> deadline;
  if (!options.new_unit || options.timeout) deadline = started + limit;
  std::string unit;  // the unit asked, once it is chosen
  Session session = 0;
  devlink::MessageDecoder decoder;
  const auto ask = [&](const ListedUnit& chosen) {
    unit = chosen.path;
    fleet.Follow(chosen, AskOnly(std::chrono::ceil<std::chrono::milliseconds>(limit)));
    if (!deadline) deadline = Clock::now() + limit;
  };
  std::vector<LinkEvent> events;
  while (NextEvents(fleet.Mailbox(), stop, deadline, events)) {
    for (LinkEvent& event : events) {
      int status = -1;
      std::visit(devlink::Overloaded{
                     [&](const devlink::UnitsPresent& present) {
                       if (options.new_unit) return;
                       const auto chosen = std::ranges::find_if(
                           present.units, [&](const ListedUnit& listed) { return options.unit.Accepts(listed); });
                       if (chosen == present.units.end()) {
                         print.Error(Describe({}, options.unit));
                         status = 1;
                         return;
                       }
                       ask(*chosen);
                     },
                     [&](const devlink::UnitArrived& arrived) {
                       if (options.new_unit && unit.empty()) ask(arrived.unit);
                     },
                     [&](const devlink::Connected& connected) {
                       if (connected.unit.path == unit) session = connected.session;
                     },
                     [&](const devlink::ConnectFailed& failed) {
                       print.Error(Describe(failed, options.unit));
                       status = 1;
                     },
                     [&](const devlink::ReceivedReport& report) {
                       if (report.session != session) return;
                       if (const auto identifier = IdentifierIn(decoder, report)) {
                         status = print.Identifier(unit, report.received, *identifier) ? 0 : print.OutputFailure();
                       }
                     },
                     [&](const devlink::Lost& lost) {
                       if (lost.session != session) return;
                       print.Error(unit + " is gone");
                       status = 1;
                     },
                     [](const auto&) {},
                 },
                 event);
      if (status >= 0) return status;
    }
    if (deadline && Clock::now() >= *deadline) {
      if (unit.empty()) {
        print.Error("no Tavrix Omrin M3 was plugged in within " + Seconds(limit));
      } else {
        // Formatted whole: the compiler stores a literal that starts a string in overlapping
        // pieces, which lintian reads as a misspelt word.
        char said[160];
        std::snprintf(said, sizeof said, "%s did not answer within %s", unit.c_str(), Seconds(limit).c_str());
        print.Error(said);
      }
      return 1;
    }
  }
  return 1;
}

// --- monitor --------------------------------------------------------------------------------

namespace {

class Monitor {
 public:
  Monitor(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print)
      : fleet_(fleet), options_(options), print_(print) {}

  int Run(std::stop_token stop);

 private:
  struct Followed {
    FollowedUnit unit;
    Time connected_at;
    // As the unit is told to have connected: at once, or, for a unit whose identifier is being
    // checked, with the first report it lets through.
    bool told = false;
  };

  // Each returns the exit status when the event ends the monitor, or -1.
  int On(const devlink::UnitsPresent& present);
  int On(const devlink::UnitArrived& arrived);
  int On(const devlink::UnitLeft& left);
  int On(const devlink::Connected& connected);
  int On(const devlink::ConnectFailed& failed);
  int On(const devlink::ReceivedReport& report);
  int On(const devlink::LetGo& let_go);
  int On(const devlink::Lost& lost);
  int On(const devlink::Asked&) { return -1; }

  // One unit: asks the fleet to follow the unit to follow, if none is followed or asked for.
  void FollowOne();
  void Follow(const ListedUnit& unit, std::string expected_identifier = {});
  int Written(bool written) { return written ? -1 : print_.OutputFailure(); }
  // The status when a log line ends the monitor, or -1.
  int Ending(const FollowedUnit& unit, const std::string& text);

  devlink::UnitFleet& fleet_;
  const CliOptions& options_;
  EventPrinter& print_;
  devlink::MessageDecoder decoder_;
  std::map<Session, Followed> followed_;
  std::vector<ListedUnit> present_;
  // One unit: whether a unit is followed or asked for; what the first one connected was, whose
  // serial number or identifier a reconnect must match; the units that answered with another.
  bool following_ = false;
  std::optional<FollowedUnit> first_;
  Session first_session_ = 0;
  bool serial_shared_ = false;
  bool checking_next_ = false;  // the unit asked for must answer with the first one's identifier
  std::set<std::string> let_go_;
  std::optional<Clock::time_point> retry_at_;
  std::optional<Clock::time_point> quiet_until_;
  bool told_failure_ = false;
};

int Monitor::Run(std::stop_token stop) {
  if (options_.journal && !JournalRuns()) {
    print_.Error("no system journal runs here to write to");
    return 1;
  }
  std::optional<Clock::time_point> ends_at;
  if (options_.timeout) ends_at = Clock::now() + *options_.timeout;
  std::uint64_t dropped = 0;
  std::vector<LinkEvent> events;
  while (true) {
    std::optional<Clock::time_point> deadline = ends_at;
    Earliest(deadline, retry_at_);
    Earliest(deadline, OnSteadyClock(print_.NextTell()));
    if (!NextEvents(fleet_.Mailbox(), stop, deadline, events)) return 0;
    for (const LinkEvent& event : events) {
      if (const int status = std::visit([this](const auto& happened) { return On(happened); }, event); status >= 0) {
        return status;
      }
    }
    print_.TellUnanswered(Now());
    if (options_.all) std::this_thread::sleep_for(kBenchGather);
    if (retry_at_ && Clock::now() >= *retry_at_) {
      retry_at_.reset();
      FollowOne();
    }
    // Reports wait in the mailbox only while the output is held up; those beyond its room are gone.
    if (const std::uint64_t now_dropped = fleet_.Mailbox().DroppedCount(); now_dropped != dropped) {
      print_.Error(std::to_string(now_dropped - dropped) + " reports dropped: the output was held up");
      dropped = now_dropped;
    }
    if (ends_at && Clock::now() >= *ends_at) {
      print_.Error("nothing ended the monitor within " + Seconds(*options_.timeout));
      return 124;
    }
  }
}

int Monitor::On(const devlink::UnitsPresent& present) {
  present_ = present.units;
  if (options_.all) {
    for (const ListedUnit& unit : present_) Follow(unit);
    return -1;
  }
  FollowOne();
  if (!following_ && !options_.reconnect) {
    print_.Error(Describe({}, options_.unit));
    return 1;
  }
  return -1;
}

int Monitor::On(const devlink::UnitArrived& arrived) {
  present_.push_back(arrived.unit);
  if (options_.all) {
    Follow(arrived.unit);
  } else {
    FollowOne();
  }
  return -1;
}

int Monitor::On(const devlink::UnitLeft& left) {
  std::erase_if(present_, [&](const ListedUnit& unit) { return unit.path == left.unit; });
  let_go_.erase(left.unit);
  return -1;
}

int Monitor::On(const devlink::Connected& connected) {
  Followed& followed = followed_[connected.session];
  followed.unit.listed = connected.unit;
  followed.connected_at = connected.at;
  if (!options_.all && !first_) {
    first_ = followed.unit;
    first_session_ = connected.session;
    serial_shared_ = std::ranges::count_if(present_, [&](const ListedUnit& unit) {
                       return unit.serial == connected.unit.serial;
                     }) > 1;
  }
  quiet_until_.reset();
  told_failure_ = false;
  // A unit being checked is told once it has given the identifier expected of it.
  if (std::exchange(checking_next_, false)) return -1;
  followed.told = true;
  return Written(print_.Connected(connected.session, followed.unit, connected.at));
}

int Monitor::On(const devlink::ConnectFailed& failed) {
  if (failed.exception) {
    print_.Error(Describe(failed, options_.unit));
    return 1;
  }
  if (options_.all) {
    print_.Error(Describe(failed, options_.unit));
    return -1;
  }
  following_ = false;
  if (!options_.reconnect) {
    print_.Error(Describe(failed, options_.unit));
    return 1;
  }
  // --reconnect waits for the unit: one that is there but cannot be opened is tried again, and
  // told once it has stayed so for a while, since udev may still be on its way to a new node. One
  // that went before it could be opened needs no word: its going is on its way too.
  const auto now = Clock::now();
  if (!quiet_until_) quiet_until_ = now + (PermissionDenied(failed) ? kQuietRetries : 0s);
  if (now >= *quiet_until_ && !Gone(failed) && !std::exchange(told_failure_, true)) {
    print_.Error(Describe(failed, options_.unit));
  }
  retry_at_ = now + kRetryPeriod;
  return -1;
}

int Monitor::On(const devlink::ReceivedReport& report) {
  const auto found = followed_.find(report.session);
  if (found == followed_.end()) return -1;
  Followed& followed = found->second;
  FollowedUnit& unit = followed.unit;
  if (!followed.told) {
    followed.told = true;
    if (!print_.Connected(report.session, unit, followed.connected_at)) return print_.OutputFailure();
  }
  if (options_.raw && !print_.Report(unit, report, Verdict(report))) return print_.OutputFailure();
  if (report.length != devlink::kFrameSize) return -1;
  const devlink::DeviceMessage message = decoder_.Decode(report.frame);
  if (const auto* line = std::get_if<devlink::LogLine>(&message)) {
    if (!options_.raw && !print_.LogLine(unit, report.received, line->text)) return print_.OutputFailure();
    return Ending(unit, line->text);
  }
  if (const auto* identity = std::get_if<devlink::IdentityMessage>(&message)) {
    unit.identifier = identity->identifier;
    if (first_ && report.session == first_session_) first_->identifier = unit.identifier;
    return Written(print_.Identity(report.session, unit, report.received));
  }
  return -1;
}

int Monitor::On(const devlink::LetGo& let_go) {
  if (const auto found = followed_.find(let_go.session); found != followed_.end()) {
    let_go_.insert(found->second.unit.listed.path);
    followed_.erase(found);
  }
  following_ = false;
  FollowOne();
  return -1;
}

int Monitor::On(const devlink::Lost& lost) {
  const auto found = followed_.find(lost.session);
  if (found == followed_.end()) return -1;
  const FollowedUnit unit = found->second.unit;
  const bool told = found->second.told;
  followed_.erase(found);
  if (options_.all) return Written(print_.Lost(lost.session, unit, lost.at));
  following_ = false;
  // A unit lost while its identifier was being checked was never told to have connected.
  if (told) {
    if (!print_.Lost(lost.session, unit, lost.at)) return print_.OutputFailure();
    // Into the journal, a unit's log is complete when the unit goes, as its service expects.
    if (!options_.reconnect) return options_.journal ? 0 : 1;
    print_.Waiting(*first_, lost.at);
  }
  FollowOne();
  return -1;
}

void Monitor::FollowOne() {
  if (following_ || retry_at_) return;
  const auto open = [&](const ListedUnit& unit) { return !let_go_.contains(unit.path); };
  if (!first_) {
    const auto chosen = std::ranges::find_if(present_, [&](const ListedUnit& unit) { return options_.unit.Accepts(unit); });
    if (chosen != present_.end()) Follow(*chosen);
    return;
  }
  // After the first connect, only the same unit: the one with its serial number where that names
  // one unit; otherwise the one that answers with its identifier.
  const std::string& serial = first_->listed.serial;
  const auto same_serial = [&](const ListedUnit& unit) { return serial.empty() || unit.serial == serial; };
  const auto candidates = std::ranges::count_if(present_, same_serial);
  const auto chosen = std::ranges::find_if(present_, [&](const ListedUnit& unit) { return same_serial(unit) && open(unit); });
  if (chosen == present_.end()) return;
  const bool serial_names_it = !serial.empty() && !serial_shared_ && candidates == 1;
  Follow(*chosen, serial_names_it ? std::string() : first_->identifier);
}

void Monitor::Follow(const ListedUnit& unit, std::string expected_identifier) {
  if (!options_.all) following_ = true;
  checking_next_ = !expected_identifier.empty();
  devlink::ReaderOptions reading;
  reading.every_report = options_.raw;
  reading.expected_identifier = std::move(expected_identifier);
  fleet_.Follow(unit, std::move(reading));
}

int Monitor::Ending(const FollowedUnit& unit, const std::string& text) {
  const auto matches = [&](const auto& patterns) {
    return std::ranges::any_of(patterns, [&](const auto& pattern) { return pattern->Matches(text); });
  };
  const int status = matches(options_.fail_on) ? 3 : matches(options_.until) ? 0 : -1;
  if (status >= 0) {
    const std::string name = unit.identifier.empty() ? unit.listed.path : unit.listed.path + " (" + unit.identifier + ")";
    print_.Error(std::string("a line of ") + name + (status == 3 ? " matched --fail-on" : " matched --until"));
  }
  return status;
}

}  // namespace

int RunMonitor(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  return Monitor(fleet, options, print).Run(stop);
}

}  // namespace zodivo_cli
