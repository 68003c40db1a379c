#include "UnitReader.h"

#include <optional>
#include <utility>
#include <vector>

#include "MessageDecoder.h"
#include "Read_tr.h"

namespace devlink {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kForever{-1};
// A unit that has taken the request and not answered is asked again after this long, up to this
// many times in all: a reply can be lost on the way, and the unit's lines mean little without it.
constexpr std::chrono::milliseconds kAskAgain{1500};
constexpr int kAsks = 3;

}  // namespace

UnitReader::UnitReader(HidPort& port, std::unique_ptr<HidDevice> device, std::string unit, Session session,
                       ReportMailbox& mailbox, ReaderOptions options, std::function<void()> done)
    : port_(port),
      unit_(std::move(unit)),
      session_(session),
      mailbox_(mailbox),
      options_(std::move(options)),
      done_(std::move(done)),
      thread_([this, owned = std::move(device)]() mutable { Run(std::move(owned)); }) {}

UnitReader::~UnitReader() { thread_.join(); }

void UnitReader::Run(std::unique_ptr<HidDevice> device) {
  static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  BlockAsynchronousSignals();
  const auto ask = [&] { return port_.SendReport(unit_, request.data(), request.size()) == static_cast<int>(request.size()); };
  const bool taken = ask();
  mailbox_.Post(Asked{session_, std::chrono::system_clock::now(), taken});
  const auto answer_by = Clock::now() + options_.answer_limit;
  // Only a reader that goes on reading asks again; one that waits for the answer has a limit.
  bool asking = taken && !options_.ask_only && options_.expected_identifier.empty();
  int asked = 1;
  auto ask_again_at = Clock::now() + kAskAgain;
  bool verifying = !options_.expected_identifier.empty();
  if (verifying && !taken) {
    mailbox_.Post(LetGo{session_, {}});
    verifying = false;
    device.reset();
  }
  MessageDecoder decoder;
  std::vector<ReceivedReport> held;
  while (device) {
    auto limit = kForever;
    if (asking && Clock::now() >= ask_again_at) {
      if (asked == kAsks) {
        mailbox_.Post(Unanswered{session_, std::chrono::system_clock::now()});
        asking = false;
      } else {
        asking = ask();
        ++asked;
        ask_again_at = Clock::now() + kAskAgain;
      }
    }
    if (asking) limit = std::chrono::ceil<std::chrono::milliseconds>(ask_again_at - Clock::now());
    if (verifying || options_.ask_only) {
      limit = std::chrono::ceil<std::chrono::milliseconds>(answer_by - Clock::now());
      if (limit <= limit.zero()) {
        if (verifying) mailbox_.Post(LetGo{session_, {}});
        break;
      }
    }
    ReceivedReport report{};
    const int received = device->Read(report.frame.data(), report.frame.size(), limit);
    report.received = std::chrono::system_clock::now();
    if (received < 0) {
      mailbox_.Post(Lost{unit_, report.received, session_});
      break;
    }
    report.session = session_;
    report.length = static_cast<std::size_t>(received);
    const bool valid = report.length == kFrameSize && IsValidFrame(report.frame);
    if (received == 0 || (!valid && !options_.every_report)) continue;
    std::optional<std::string> identifier;
    // Only an identity reply is decoded here; the front end decodes the rest once.
    if (valid && FrameHeader(report.frame) == kIdentityReplyHeader) {
      if (auto message = decoder.Decode(report.frame); auto* identity = std::get_if<IdentityMessage>(&message)) {
        identifier = std::move(identity->identifier);
      }
    }
    if (identifier) asking = false;
    if (verifying) {
      if (!identifier) {
        // Bounded as the mailbox is: a unit that floods before it answers loses its oldest lines.
        if (held.size() == ReportMailbox::kCapacity) held.erase(held.begin());
        held.push_back(report);
        continue;
      }
      if (*identifier != options_.expected_identifier) {
        mailbox_.Post(LetGo{session_, *identifier});
        break;
      }
      verifying = false;
      for (const ReceivedReport& before : std::exchange(held, {})) mailbox_.PostReport(before);
      mailbox_.PostReport(report, true);
      continue;
    }
    mailbox_.PostReport(report, identifier.has_value());
    if (options_.ask_only && identifier) break;
  }
  // Closed here, on the thread that called into it.
  device.reset();
  ended_.store(true, std::memory_order_release);
  if (done_) done_();
}

}  // namespace devlink
