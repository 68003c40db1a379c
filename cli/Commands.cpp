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

devlink::ReaderOptions AskOnly(std::chrono::milliseconds answer_limit) {
  devlink::ReaderOptions options;
  options.ask_only = true;
  options.answer_limit = answer_limit;
  return options;
}

std::chrono::milliseconds IdAnswerLimit(const CliOptions& options) {
  return std::chrono::ceil<std::chrono::milliseconds>(options.timeout.value_or(kDefaultIdTimeout));
}

// Writes what the last events made, then reads the units until the next events, until `deadline`
// at most if there is one; false once `stop` is asked or the output has failed.
bool NextEvents(devlink::UnitFleet& fleet, EventPrinter& print, std::stop_token stop,
                std::optional<Clock::time_point> deadline, std::vector<LinkEvent>& events) {
  if (!print.Flush()) return false;
  return fleet.Next(stop, deadline, events, print.Waiting());
}

void Earliest(std::optional<Clock::time_point>& deadline, std::optional<Clock::time_point> other) {
  if (other && (!deadline || *other < *deadline)) deadline = other;
}

std::optional<Clock::time_point> OnSteadyClock(std::optional<Time> at) {
  if (!at) return std::nullopt;
  return Clock::now() + std::chrono::ceil<std::chrono::milliseconds>(*at - Now());
}

}  // namespace

devlink::FleetOptions FleetFor(const CliOptions& options) {
  devlink::FleetOptions fleet;
  fleet.watch = options.watch || options.new_unit || options.each || options.all || options.reconnect;
  // The units that the command takes all of are followed by the fleet itself, so that none waits
  // for the output to be opened.
  switch (options.command) {
    case CliOptions::Command::kList:
      fleet.follow = {AskOnly(kListReplyWait), true, [choice = options.unit](const ListedUnit& unit) {
                        return choice.Accepts(unit);
                      }};
      break;
    case CliOptions::Command::kId:
      if (options.each) fleet.follow = {AskOnly(IdAnswerLimit(options)), false, {}};
      break;
    case CliOptions::Command::kMonitor:
      if (options.all) {
        fleet.follow.emplace();
        fleet.follow->reading.every_report = options.raw;
      }
      break;
  }
  return fleet;
}

// --- list -----------------------------------------------------------------------------------

int RunList(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  // One line to come, in the order the units were listed or came and went. The fleet asks each
  // unit by itself.
  struct Line {
    ListedUnit unit;
    bool gone = false;
    Session session = 0;
    std::optional<Clock::time_point> answer_by;  // from when the unit took the request
    std::string identifier;
    bool done = false;
    bool shown = true;  // false for a unit that went before it could be asked
    Time at = Now();
  };
  std::deque<Line> lines;
  std::set<std::string> listed;  // the instances of the units listed and not gone
  bool present = false;
  devlink::MessageDecoder decoder;
  const auto add = [&](const ListedUnit& unit) {
    if (!options.unit.Accepts(unit)) return;
    listed.insert(unit.instance);
    lines.emplace_back().unit = unit;
  };
  const auto line_of = [&](auto matches) {
    const auto found = std::ranges::find_if(lines, [&](const Line& line) { return !line.done && matches(line); });
    return found != lines.end() ? &*found : nullptr;
  };
  const auto by_session = [&](Session session) {
    return line_of([&](const Line& line) { return line.session == session; });
  };
  const auto by_instance = [&](const std::string& instance) {
    return line_of([&](const Line& line) { return !line.gone && line.session == 0 && line.unit.instance == instance; });
  };
  std::vector<LinkEvent> events;
  for (std::optional<Clock::time_point> deadline; NextEvents(fleet, print, stop, deadline, events);) {
    for (LinkEvent& event : events) {
      int status = -1;
      std::visit(devlink::Overloaded{
                     [&](const devlink::UnitsPresent& units) {
                       present = true;
                       for (const ListedUnit& unit : units.units) add(unit);
                     },
                     [&](const devlink::UnitArrived& arrived) { add(arrived.unit); },
                     [&](const devlink::UnitLeft& left) {
                       if (listed.erase(left.unit.instance) == 0) return;
                       Line& line = lines.emplace_back();
                       line.unit = left.unit;
                       line.gone = line.done = true;
                       line.at = left.at;
                     },
                     [&](const devlink::Connected& connected) {
                       if (Line* line = by_instance(connected.unit.instance)) line->session = connected.session;
                     },
                     [&](const devlink::ConnectFailed& failed) {
                       if (failed.exception) {
                         print.Error(Describe(failed, options.unit));
                         status = 1;
                         return;
                       }
                       Line* line = by_instance(failed.instance);
                       if (line == nullptr) return;
                       line->done = true;
                       // Gone already: its departure is on its way, and neither is shown.
                       if (Gone(failed)) {
                         line->shown = false;
                         listed.erase(failed.instance);
                       } else {
                         print.Error(Describe(failed, options.unit));
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
      if (line.shown &&
          !(line.gone ? print.Gone(line.unit.path, line.at) : print.Unit(line.unit, line.at, line.identifier))) {
        return print.OutputFailure();
      }
      lines.pop_front();
    }
    if (present && lines.empty() && !options.watch) return 0;
  }
  return 0;
}

// --- id -------------------------------------------------------------------------------------

namespace {

// id --each: every unit plugged in from now on, which the fleet asks by itself, each told as it
// answers, so that none is missed while the output's reader is busy.
int RunEach(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  struct Asking {
    std::string unit;
    std::optional<Clock::time_point> answer_by;
  };
  std::map<Session, Asking> asking;
  devlink::MessageDecoder decoder;
  const auto limit = IdAnswerLimit(options);
  std::vector<LinkEvent> events;
  for (std::optional<Clock::time_point> deadline; NextEvents(fleet, print, stop, deadline, events);) {
    for (LinkEvent& event : events) {
      int status = -1;
      std::visit(devlink::Overloaded{
                     [&](const devlink::Connected& connected) { asking[connected.session].unit = connected.unit.path; },
                     [&](const devlink::ConnectFailed& failed) {
                       if (failed.exception) status = 1;
                       if (failed.exception || !Gone(failed)) print.Error(Describe(failed, options.unit));
                     },
                     [&](const devlink::Asked& asked) {
                       if (const auto found = asking.find(asked.session); found != asking.end()) {
                         found->second.answer_by = Clock::now() + limit;
                       }
                     },
                     [&](const devlink::ReceivedReport& report) {
                       const auto found = asking.find(report.session);
                       if (found == asking.end()) return;
                       if (const auto identifier = IdentifierIn(decoder, report)) {
                         if (!print.Identifier(found->second.unit, report.received, *identifier)) {
                           status = print.OutputFailure();
                         }
                         asking.erase(found);
                       }
                     },
                     [&](const devlink::Lost& lost) {
                       if (const auto found = asking.find(lost.session); found != asking.end()) {
                         print.Error(found->second.unit + " went before it answered");
                         asking.erase(found);
                       }
                     },
                     [](const auto&) {},
                 },
                 event);
      if (status >= 0) return status;
    }
    deadline.reset();
    for (auto unit = asking.begin(); unit != asking.end();) {
      if (unit->second.answer_by && Clock::now() >= *unit->second.answer_by) {
        char said[160];
        std::snprintf(said, sizeof said, "%s did not answer within %s", unit->second.unit.c_str(), Seconds(limit).c_str());
        print.Error(said);
        unit = asking.erase(unit);
        continue;
      }
      Earliest(deadline, unit->second.answer_by);
      ++unit;
    }
  }
  return 0;
}

}  // namespace

int RunId(devlink::UnitFleet& fleet, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  if (options.each) return RunEach(fleet, options, print, stop);
  const auto started = Clock::now();
  const auto limit = options.timeout.value_or(kDefaultIdTimeout);
  // Without --timeout, id --new waits for a unit as long as it takes, then as long as id does for
  // its answer.
  std::optional<Clock::time_point> deadline;
  if (!options.new_unit || options.timeout) deadline = started + limit;
  std::string unit;  // the unit asked, once it is chosen
  std::string instance;
  Session session = 0;
  devlink::MessageDecoder decoder;
  const auto ask = [&](const ListedUnit& chosen) {
    unit = chosen.path;
    instance = chosen.instance;
    fleet.Follow(chosen, AskOnly(std::chrono::ceil<std::chrono::milliseconds>(limit)));
    if (!deadline) deadline = Clock::now() + limit;
  };
  std::vector<LinkEvent> events;
  while (NextEvents(fleet, print, stop, deadline, events)) {
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
                       if (connected.unit.instance == instance) session = connected.session;
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
  int On(const devlink::Dropped&) { return -1; }  // the fleet's readers keep every report
  int On(const devlink::Unanswered& unanswered);

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
  std::vector<LinkEvent> events;
  while (true) {
    std::optional<Clock::time_point> deadline = ends_at;
    Earliest(deadline, retry_at_);
    Earliest(deadline, OnSteadyClock(print_.NextTell()));
    if (!NextEvents(fleet_, print_, stop, deadline, events)) return 0;
    for (const LinkEvent& event : events) {
      if (const int status = std::visit([this](const auto& happened) { return On(happened); }, event); status >= 0) {
        return status;
      }
    }
    print_.TellUnanswered(Now());
    if (options_.all) {
      if (!print_.Flush()) return 0;
      std::this_thread::sleep_for(kBenchGather);
    }
    if (retry_at_ && Clock::now() >= *retry_at_) {
      retry_at_.reset();
      FollowOne();
    }
    if (ends_at && Clock::now() >= *ends_at) {
      print_.Error("nothing ended the monitor within " + Seconds(*options_.timeout));
      return 124;
    }
  }
}

int Monitor::On(const devlink::UnitsPresent& present) {
  present_ = present.units;
  // The fleet follows every unit by itself.
  if (options_.all) return -1;
  FollowOne();
  if (!following_ && !options_.reconnect) {
    print_.Error(Describe({}, options_.unit));
    return 1;
  }
  return -1;
}

int Monitor::On(const devlink::UnitArrived& arrived) {
  present_.push_back(arrived.unit);
  if (!options_.all) FollowOne();
  return -1;
}

int Monitor::On(const devlink::UnitLeft& left) {
  std::erase_if(present_, [&](const ListedUnit& unit) { return unit.instance == left.unit.instance; });
  let_go_.erase(left.unit.instance);
  return -1;
}

int Monitor::On(const devlink::Unanswered& unanswered) {
  if (const auto found = followed_.find(unanswered.session); found != followed_.end()) {
    print_.Error(found->second.unit.listed.path + " never answered the identity request; its lines carry no identifier");
  }
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
    // A unit that went before it could be opened needs no word: its going is on its way.
    if (!Gone(failed)) print_.Error(Describe(failed, options_.unit));
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
    let_go_.insert(found->second.unit.listed.instance);
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
    if (first_->listed.serial.empty() && first_->identifier.empty()) {
      print_.Error("cannot tell " + unit.listed.path + " from another unit: it has no serial number and never " +
                   "answered with its identifier");
      return 1;
    }
    print_.Waiting(*first_, lost.at, !first_->listed.serial.empty() && !serial_shared_);
  }
  FollowOne();
  return -1;
}

void Monitor::FollowOne() {
  if (following_ || retry_at_) return;
  const auto open = [&](const ListedUnit& unit) { return !let_go_.contains(unit.instance); };
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
