#include "Commands.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Connection.h"
#include "MessageDecoder.h"
#include "Overloaded.h"
#include "Read_tr.h"

namespace zodivo_cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kListReplyWait{1};
// How often monitor --reconnect looks for the unit while none is open.
constexpr std::chrono::milliseconds kReconnectPeriod{100};

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
  switch (failed.error.value()) {
    case EACCES:
    case EPERM:
      return cannot + "permission denied (the user at the machine's seat, members of the group plugdev and root "
                      "may open it)";
    case EBUSY:
      return cannot + "busy";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return cannot + "it is gone";
    default:
      return cannot + (failed.error ? failed.error.message() : "the HID library did not say why");
  }
}

// A link whose reader is never stopped: it may be held up for seconds in a write to a unit that
// does not take the request, and the command ends right after its answer, which ends the reader.
devlink::DeviceLink& LinkForOneAnswer(devlink::HidPort& port) {
  auto* link = new devlink::DeviceLink(port);
  new devlink::ReadThread(*link);
  return *link;
}

// What a unit said in reply to a connect's identity request.
struct Answer {
  std::string unit;        // the unit connected; empty if none was
  std::string identifier;  // empty if it did not answer in time
  Time received;
  // A connect that changed nothing, or the loss of the unit, which ended the wait.
  std::variant<std::monostate, devlink::ConnectFailed, devlink::Lost> failure;
};

// Waits at most `limit` for the answer to a connect just asked for: to that of `unit`, if given.
// Reports of another unit, still in the mailbox from before the connect, are passed over.
Answer AwaitIdentity(devlink::DeviceLink& link, const std::string& unit, Clock::duration limit) {
  devlink::MessageDecoder decoder;
  std::vector<devlink::LinkEvent> events;
  Answer answer;
  const auto deadline = Clock::now() + limit;
  for (auto left = limit; left > 0s; left = deadline - Clock::now()) {
    link.Mailbox().WaitForEvents({}, std::chrono::ceil<std::chrono::milliseconds>(left));
    link.Mailbox().TakeAll(events);
    for (devlink::LinkEvent& event : events) {
      if (const auto* connected = std::get_if<devlink::Connected>(&event)) answer.unit = connected->unit.path;
      if (auto* failed = std::get_if<devlink::ConnectFailed>(&event)) {
        answer.failure = std::move(*failed);
        return answer;
      }
      const auto* lost = std::get_if<devlink::Lost>(&event);
      if (lost != nullptr && lost->unit == answer.unit) {
        answer.failure = std::move(*lost);
        return answer;
      }
      const auto* report = std::get_if<devlink::ReceivedReport>(&event);
      if (report == nullptr || answer.unit.empty() || (!unit.empty() && answer.unit != unit)) continue;
      const devlink::DeviceMessage message = decoder.Decode(report->frame);
      if (const auto* identity = std::get_if<devlink::IdentityMessage>(&message)) {
        answer.identifier = identity->identifier;
        answer.received = report->received;
        return answer;
      }
    }
  }
  return answer;
}

}  // namespace

int RunList(devlink::HidPort& port, const CliOptions& options, EventPrinter& print) {
  port.Init();
  std::vector<devlink::ListedUnit> units = port.List(devlink::kVendorId, devlink::kProductId);
  std::erase_if(units, [&](const devlink::ListedUnit& unit) { return !options.unit.Accepts(unit); });
  if (units.empty()) return 0;
  // One reader asks the units one after the other, so that a single thread calls the HID library.
  devlink::DeviceLink& link = LinkForOneAnswer(port);
  for (const devlink::ListedUnit& unit : units) {
    link.Connect({unit.path});
    const Answer answer = AwaitIdentity(link, unit.path, kListReplyWait);
    if (const auto* failed = std::get_if<devlink::ConnectFailed>(&answer.failure)) {
      print.Error(Describe(*failed, {unit.path}));
    }
    if (!print.Unit(unit, std::chrono::system_clock::now(), answer.identifier)) return print.OutputFailure();
  }
  return 0;
}

int RunId(devlink::HidPort& port, const CliOptions& options, EventPrinter& print) {
  devlink::DeviceLink& link = LinkForOneAnswer(port);
  link.Connect(options.unit);
  const Answer answer = AwaitIdentity(link, {}, options.timeout);
  if (!answer.identifier.empty()) {
    return print.Identifier(answer.unit, answer.received, answer.identifier) ? 0 : print.OutputFailure();
  }
  if (const auto* failed = std::get_if<devlink::ConnectFailed>(&answer.failure)) {
    print.Error(Describe(*failed, options.unit));
  } else if (std::holds_alternative<devlink::Lost>(answer.failure)) {
    print.Error(answer.unit + " is gone");
  } else {
    // Formatted whole: the compiler stores a literal that starts a string in overlapping pieces,
    // which lintian reads as a misspelt word.
    char said[128];
    std::snprintf(said, sizeof said, "%s did not answer within %g s",
                  answer.unit.empty() ? "the unit" : answer.unit.c_str(),
                  std::chrono::duration<double>(options.timeout).count());
    print.Error(said);
  }
  return 1;
}

int RunMonitor(devlink::HidPort& port, const CliOptions& options, EventPrinter& print, std::stop_token stop) {
  devlink::DeviceLink link(port);
  devlink::ReadThread reader(link);  // stopped first when this returns, closing the unit
  devlink::MessageDecoder decoder;
  std::vector<devlink::LinkEvent> events;
  std::string unit;  // the open unit's node; empty while none is
  bool told_failure = false;
  auto next_connect = Clock::now();
  bool connecting = false;
  std::uint64_t dropped = 0;
  while (!stop.stop_requested()) {
    if (unit.empty() && !connecting && Clock::now() >= next_connect) {
      link.Connect(options.unit);
      connecting = true;
    }
    link.Mailbox().WaitForEvents(stop, kReconnectPeriod);
    link.Mailbox().TakeAll(events);
    const auto now = std::chrono::system_clock::now();
    for (const devlink::LinkEvent& event : events) {
      const int status = std::visit(
          devlink::Overloaded{
              [&](const devlink::ReceivedReport& report) {
                if (unit.empty()) return -1;
                const devlink::DeviceMessage message = decoder.Decode(report.frame);
                bool written = true;
                if (const auto* line = std::get_if<devlink::LogLine>(&message)) {
                  written = print.LogLine(unit, report.received, line->text);
                } else if (const auto* identity = std::get_if<devlink::IdentityMessage>(&message)) {
                  written = print.Identity(unit, report.received, identity->identifier);
                }
                return written ? -1 : print.OutputFailure();
              },
              [&](const devlink::Connected& connected) {
                unit = connected.unit.path;
                connecting = told_failure = false;
                return print.Connected(connected.unit, now) ? -1 : print.OutputFailure();
              },
              [&](const devlink::ConnectFailed& failed) {
                connecting = false;
                next_connect = Clock::now() + kReconnectPeriod;
                if (!options.reconnect) {
                  print.Error(Describe(failed, options.unit));
                  return 1;
                }
                // Waiting for the unit is what --reconnect asked for; a unit that is there but
                // cannot be opened is told once, as the udev rule may still be on its way to a
                // node that has just appeared.
                if (!failed.unit.empty() && !std::exchange(told_failure, true)) {
                  print.Error(Describe(failed, options.unit));
                }
                return -1;
              },
              [&](const devlink::Lost& lost) {
                unit.clear();
                next_connect = Clock::now();
                if (!print.Lost(lost.unit, now)) return print.OutputFailure();
                return options.reconnect ? -1 : 1;
              },
          },
          event);
      if (status >= 0) return status;
    }
    print.TellUnanswered(now);
    // Reports wait in the mailbox only while the output is held up; those beyond its room are gone.
    if (const std::uint64_t now_dropped = link.Mailbox().DroppedCount(); now_dropped != dropped) {
      print.Error(std::to_string(now_dropped - dropped) + " reports dropped: standard output was held up");
      dropped = now_dropped;
    }
  }
  return 0;
}

}  // namespace zodivo_cli
