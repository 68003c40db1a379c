#include "EventPrinter.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

namespace zodivo_cli {
namespace {

using Json = nlohmann::ordered_json;

// How long the text output holds a connect back for the unit's identity reply.
constexpr std::chrono::seconds kReplyWait{1};

// One line of JSON: the time and the kind of event first, then its fields. Text that is not valid
// UTF-8 (none is, but a serial number comes from the system) is mended rather than refused.
std::string EventLine(const char* event, Time at, std::initializer_list<std::pair<const char*, Json>> fields) {
  Json line{{"time", LocalTime(at)}, {"event", event}};
  for (const auto& [name, value] : fields) line[name] = value;
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const char* Bus(const devlink::ListedUnit& unit) { return unit.usb ? "usb" : "virtual"; }

Json OrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

}  // namespace

std::string LocalTime(Time at) {
  const auto since_epoch = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch());
  const std::time_t seconds = std::chrono::floor<std::chrono::seconds>(since_epoch).count();
  const auto milliseconds = static_cast<int>((since_epoch % std::chrono::seconds(1)).count());
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  char offset[8];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(offset, sizeof offset, "%z", &local);
  char text[48];
  std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", date, milliseconds, offset, offset + 3);
  return text;
}

EventPrinter::EventPrinter(std::FILE* out, std::FILE* err, bool json, bool timestamps)
    : out_(out), err_(err), json_(json), timestamps_(timestamps) {}

bool EventPrinter::LogLine(const std::string& unit, Time received, const std::string& text) {
  if (json_) return Out(EventLine("log", received, {{"unit", unit}, {"text", text}}));
  return Out(Prefix(received) + text);
}

bool EventPrinter::Connected(const devlink::ListedUnit& unit, Time at) {
  if (json_) {
    return Out(EventLine("connected", at, {{"unit", unit.path}, {"serial", OrNull(unit.serial)}, {"bus", Bus(unit)}}));
  }
  untold_connect_ = unit.path;
  tell_by_ = at + kReplyWait;
  return true;
}

bool EventPrinter::Identity(const std::string& unit, Time received, const std::string& identifier) {
  if (json_) return Out(EventLine("identity", received, {{"unit", unit}, {"identifier", identifier}}));
  const bool first = untold_connect_ == unit;
  untold_connect_.reset();
  Status(received, (first ? "connected " : "") + unit + ", Unique ID: " + identifier);
  return true;
}

void EventPrinter::TellUnanswered(Time now) {
  if (untold_connect_ && now >= tell_by_) {
    Status(now, "connected " + *untold_connect_ + ", no answer to the identity request");
    untold_connect_.reset();
  }
}

bool EventPrinter::Lost(const std::string& unit, Time at) {
  if (json_) return Out(EventLine("lost", at, {{"unit", unit}}));
  TellUnanswered(Time::max());
  Status(at, "lost " + unit);
  return true;
}

bool EventPrinter::Unit(const devlink::ListedUnit& unit, Time at, const std::string& identifier) {
  if (json_) {
    return Out(EventLine("unit", at, {{"unit", unit.path}, {"serial", OrNull(unit.serial)}, {"bus", Bus(unit)},
                                         {"identifier", OrNull(identifier)}}));
  }
  return Out(unit.path + '\t' + (unit.serial.empty() ? "-" : unit.serial) + '\t' + Bus(unit) + '\t' +
             (identifier.empty() ? "?" : identifier));
}

bool EventPrinter::Identifier(const std::string& unit, Time received, const std::string& identifier) {
  if (json_) return Out(EventLine("identity", received, {{"unit", unit}, {"identifier", identifier}}));
  return Out(identifier);
}

void EventPrinter::Error(const std::string& message) {
  std::fprintf(err_, "tavrix-zodivo-cli: %s\n", message.c_str());
  std::fflush(err_);
}

int EventPrinter::OutputFailure() {
  if (output_error_ == EPIPE) return 0;
  Error(std::string("cannot write to standard output: ") + std::strerror(output_error_));
  return 1;
}

bool EventPrinter::Out(const std::string& line) {
  if (output_error_ != 0) return false;
  if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fputc('\n', out_) == EOF ||
      std::fflush(out_) != 0) {
    output_error_ = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

void EventPrinter::Status(Time at, const std::string& line) {
  std::fprintf(err_, "%s%s\n", Prefix(at).c_str(), line.c_str());
  std::fflush(err_);
}

std::string EventPrinter::Prefix(Time at) const { return timestamps_ ? LocalTime(at) + ' ' : std::string(); }

}  // namespace zodivo_cli
