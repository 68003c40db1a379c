#include "EventPrinter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <nlohmann/json.hpp>

#include "Journal.h"
#include "ReportFrame.h"

namespace zodivo_cli {
namespace {

// How long the text output holds a connect back for the unit's identity reply.
constexpr std::chrono::seconds kReplyWait{1};

// What the journal calls the program, and the ids of its connect and loss entries, so that
// journalctl MESSAGE_ID=… finds every one of them.
constexpr char kJournalIdentifier[] = "SYSLOG_IDENTIFIER=tavrix-zodivo";
constexpr char kConnectedMessageId[] = "MESSAGE_ID=c841b39d69844f70ad7f53e52cbf6df9";
constexpr char kLostMessageId[] = "MESSAGE_ID=4789b7cd720249579d1c2d237df419bc";

const char* Bus(const devlink::ListedUnit& unit) { return unit.usb ? "usb" : "virtual"; }

std::optional<std::string> OrNull(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

// A serial number comes from the unit: its control characters are shown escaped, so that it can
// neither move the terminal's cursor nor add a column.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if ((c >= 0 && c < ' ') || c == '\x7F' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

// A string as JSON: as it stands when it is printable ASCII with nothing to escape, as nearly every
// one is, which spares the JSON library's work for each line; through the library otherwise, which
// mends text that is not valid UTF-8 (none is, but a serial number comes from the system) rather
// than refusing it.
void AppendJsonString(std::string& line, std::string_view text) {
  if (std::ranges::all_of(text, [](char c) { return c >= ' ' && c < '\x7F' && c != '"' && c != '\\'; })) {
    line += '"';
    line += text;
    line += '"';
    return;
  }
  line += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Upper(const char* name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

}  // namespace

std::string LocalTime(Time at) {
  const auto since_epoch = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch());
  const std::time_t seconds = std::chrono::floor<std::chrono::seconds>(since_epoch).count();
  const auto milliseconds = static_cast<int>((since_epoch % std::chrono::seconds(1)).count());
  // A second's date and offset, made once for the many lines of that second: the local time
  // changes its offset only on a whole second.
  thread_local std::time_t formatted_second = -1;
  thread_local char date[32];
  thread_local char offset[8];
  if (seconds != formatted_second) {
    std::tm local{};
    localtime_r(&seconds, &local);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(offset, sizeof offset, "%z", &local);
    formatted_second = seconds;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", date, milliseconds, offset, offset + 3);
  return text;
}

EventPrinter::EventPrinter(int out, std::FILE* err, Output output, bool timestamps, bool label_lines,
                           std::size_t output_bound)
    : out_(out, output_bound), err_(err), output_(output), timestamps_(timestamps), label_lines_(label_lines) {}

bool EventPrinter::LogLine(const FollowedUnit& unit, Time received, const std::string& text) {
  if (output_ == Output::kText) return Out(Prefix(received) + Label(unit) + text, &unit, received);
  return Emit("log", received, {{"unit", unit.listed.path}, {"identifier", OrNull(unit.identifier)}, {"text", text}},
              text, &unit);
}

bool EventPrinter::Connected(devlink::Session session, const FollowedUnit& unit, Time at) {
  if (output_ == Output::kText) {
    untold_connects_[session] = {unit.listed.path, at};
    return true;
  }
  return Emit("connected", at,
              {{"unit", unit.listed.path}, {"serial", OrNull(unit.listed.serial)}, {"bus", Bus(unit.listed)}},
              "connected " + unit.listed.path, &unit);
}

bool EventPrinter::Identity(devlink::Session session, const FollowedUnit& unit, Time received) {
  const std::string told = unit.listed.path + ", Unique ID: " + unit.identifier;
  if (output_ != Output::kText) {
    return Emit("identity", received, {{"unit", unit.listed.path}, {"identifier", unit.identifier}}, told, &unit);
  }
  Status(received, (untold_connects_.erase(session) > 0 ? "connected " : "") + told);
  return true;
}

void EventPrinter::TellUnanswered(Time now) {
  for (auto untold = untold_connects_.begin(); untold != untold_connects_.end();) {
    const auto& [unit, at] = untold->second;
    if (now < at + kReplyWait) {
      ++untold;
      continue;
    }
    Status(at, "connected " + unit + ", no answer to the identity request");
    untold = untold_connects_.erase(untold);
  }
}

std::optional<Time> EventPrinter::NextTell() const {
  std::optional<Time> next;
  for (const auto& [session, untold] : untold_connects_) {
    if (!next || untold.second + kReplyWait < *next) next = untold.second + kReplyWait;
  }
  return next;
}

bool EventPrinter::Lost(devlink::Session session, const FollowedUnit& unit, Time at) {
  if (output_ != Output::kText) {
    return Emit("lost", at, {{"unit", unit.listed.path}}, "lost " + unit.listed.path, &unit);
  }
  if (const auto untold = untold_connects_.find(session); untold != untold_connects_.end()) {
    Status(untold->second.second, "connected " + unit.listed.path + ", no answer to the identity request");
    untold_connects_.erase(untold);
  }
  Status(at, "lost " + unit.listed.path);
  return true;
}

void EventPrinter::TellDropped(const FollowedUnit& unit, std::uint64_t count, Time at) {
  const std::string name = unit.identifier.empty() ? unit.listed.path : unit.listed.path + " (" + unit.identifier + ")";
  const std::string told = std::to_string(count) + " reports of " + name + " dropped: the output was held up";
  if (output_ == Output::kText) {
    Error(told);
    return;
  }
  Emit("dropped", at, {{"unit", unit.listed.path}, {"identifier", OrNull(unit.identifier)}, {"count", count}}, told,
       &unit);
}

bool EventPrinter::Flush() {
  if (output_ != Output::kJournal && !out_.Flush() && output_error_ == 0) output_error_ = out_.Error();
  if (output_error_ != 0 || drops_.empty() || !out_.HasRoom()) return output_error_ == 0;
  for (const auto& [instance, drops] : std::exchange(drops_, {})) TellDropped(drops.unit, drops.count, drops.at);
  return Flush();
}

bool EventPrinter::Drain() {
  if (output_ == Output::kJournal) return output_error_ == 0;
  if (!Flush() || !out_.Drain()) {
    if (output_error_ == 0) output_error_ = out_.Error();
    return false;
  }
  return true;
}

bool EventPrinter::Report(const FollowedUnit& unit, const devlink::ReceivedReport& report,
                          const std::string& verdict) {
  const std::string hex = devlink::FormatHex(std::span(report.frame).first(report.length));
  if (output_ == Output::kText) return Out(Prefix(report.received) + Label(unit) + hex + ' ' + verdict, &unit, report.received);
  return Emit("report", report.received, {{"unit", unit.listed.path}, {"hex", hex}, {"verdict", verdict}},
              hex + ' ' + verdict, &unit);
}

bool EventPrinter::Unit(const devlink::ListedUnit& unit, Time at, const std::string& identifier) {
  if (output_ == Output::kText) {
    return Out(unit.path + '\t' + (unit.serial.empty() ? "-" : Printable(unit.serial)) + '\t' + Bus(unit) + '\t' +
               (identifier.empty() ? "?" : identifier));
  }
  return Emit("unit", at,
              {{"unit", unit.path}, {"serial", OrNull(unit.serial)}, {"bus", Bus(unit)},
               {"identifier", OrNull(identifier)}},
              unit.path);
}

bool EventPrinter::Gone(const std::string& unit, Time at) {
  if (output_ == Output::kText) return Out(unit + "\tgone");
  return Emit("gone", at, {{"unit", unit}}, "gone " + unit);
}

bool EventPrinter::Identifier(const std::string& unit, Time received, const std::string& identifier) {
  if (output_ == Output::kText) return Out(identifier);
  return Emit("identity", received, {{"unit", unit}, {"identifier", identifier}}, identifier);
}

void EventPrinter::Waiting(const FollowedUnit& unit, Time now, bool by_serial) {
  const std::string which = by_serial ? "serial " + Printable(unit.listed.serial) : "identifier " + unit.identifier;
  Status(now, "waiting for " + unit.listed.path + " (" + which + ")");
}

void EventPrinter::Error(const std::string& message) {
  // What came before it goes first, where the output takes it, so that a terminal shows both in
  // order.
  out_.Flush();
  std::fprintf(err_, "tavrix-zodivo-cli: %s\n", message.c_str());
  std::fflush(err_);
}

int EventPrinter::OutputFailure() {
  if (output_error_ == EPIPE) return 0;
  if (std::exchange(failure_told_, true)) return 1;
  Error(std::string(output_ == Output::kJournal ? "cannot write to the journal: " : "cannot write to standard output: ") +
        std::strerror(output_error_));
  return 1;
}

bool EventPrinter::Emit(const char* event, Time at, const Fields& fields, const std::string& message,
                        const FollowedUnit* unit) {
  if (output_error_ != 0) return false;
  if (output_ == Output::kJson) {
    std::string line = "{\"time\":";
    AppendJsonString(line, LocalTime(at));
    line += ",\"event\":";
    AppendJsonString(line, event);
    for (const auto& [name, value] : fields) {
      line += ",\"";
      line += name;
      line += "\":";
      if (!value) {
        line += "null";
      } else if (const auto* text = std::get_if<std::string>(&*value)) {
        AppendJsonString(line, *text);
      } else {
        line += std::to_string(std::get<std::uint64_t>(*value));
      }
    }
    line += '}';
    const bool droppable = std::strcmp(event, "log") == 0 || std::strcmp(event, "report") == 0;
    return Out(line, droppable ? unit : nullptr, at);
  }
  const bool news = std::strcmp(event, "connected") == 0 || std::strcmp(event, "lost") == 0;
  const char* priority = std::strcmp(event, "dropped") == 0 ? "PRIORITY=4" : news ? "PRIORITY=5" : "PRIORITY=6";
  std::vector<std::string> entry{"MESSAGE=" + message, priority, kJournalIdentifier,
                                 std::string("ZODIVO_EVENT=") + event};
  if (std::strcmp(event, "connected") == 0) entry.emplace_back(kConnectedMessageId);
  if (std::strcmp(event, "lost") == 0) entry.emplace_back(kLostMessageId);
  for (const auto& [name, value] : fields) {
    if (!value || std::strcmp(name, "text") == 0) continue;
    const auto* text = std::get_if<std::string>(&*value);
    entry.push_back("ZODIVO_" + Upper(name) + '=' + (text != nullptr ? *text : std::to_string(std::get<std::uint64_t>(*value))));
  }
  // Every entry of a unit names it as fully as it is known, so that one field finds its history.
  if (unit != nullptr) {
    if (!unit->listed.serial.empty()) entry.push_back("ZODIVO_SERIAL=" + unit->listed.serial);
    if (!unit->identifier.empty()) entry.push_back("ZODIVO_IDENTIFIER=" + unit->identifier);
  }
  const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch());
  entry.push_back("ZODIVO_RECEIVED_USEC=" + std::to_string(microseconds.count()));
  // A field given twice would be stored twice.
  std::sort(entry.begin(), entry.end());
  entry.erase(std::unique(entry.begin(), entry.end()), entry.end());
  if (const int failed = SendToJournal(entry); failed < 0) {
    output_error_ = -failed;
    return false;
  }
  return true;
}

bool EventPrinter::Out(const std::string& line, const FollowedUnit* droppable, Time at) {
  if (output_error_ != 0) return false;
  if (!out_.Append(line, droppable != nullptr ? &droppable->listed.instance : nullptr)) {
    Drops& drops = drops_[droppable->listed.instance];
    if (drops.count++ == 0) drops.at = at;
    drops.unit = *droppable;
  }
  return true;
}

void EventPrinter::Status(Time at, const std::string& line) {
  out_.Flush();
  std::fprintf(err_, "%s%s\n", Prefix(at).c_str(), line.c_str());
  std::fflush(err_);
}

std::string EventPrinter::Prefix(Time at) const { return timestamps_ ? LocalTime(at) + ' ' : std::string(); }

std::string EventPrinter::Label(const FollowedUnit& unit) const {
  if (!label_lines_) return {};
  return (unit.identifier.empty() ? unit.listed.path : unit.identifier) + ' ';
}

}  // namespace zodivo_cli
