#include "UnitReader.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace devlink {
namespace {

// A unit that has taken the request and not answered is asked again after this long, up to this
// many times in all: a reply can be lost on the way, and the unit's lines mean little without it.
constexpr std::chrono::milliseconds kAskAgain{1500};
constexpr int kAsks = 3;
// What a unit sends before it has answered is held back this far while its identifier is checked:
// a unit that floods before it answers loses its oldest lines.
constexpr std::size_t kHeldReports = 1024;

Time Now() { return std::chrono::system_clock::now(); }

}  // namespace

UnitReader::UnitReader(int descriptor, std::string unit, Session session, ReaderOptions options,
                       std::function<void()> ask)
    : descriptor_(descriptor),
      unit_(std::move(unit)),
      session_(session),
      options_(std::move(options)),
      ask_(std::move(ask)),
      verifying_(!options_.expected_identifier.empty()) {
  ask_();
}

void UnitReader::Asked(bool taken, std::vector<LinkEvent>& events) {
  const bool first = asks_ == 1;
  // Only the first request is told: the others are the reader's own business.
  if (first) events.push_back(devlink::Asked{session_, Now(), taken});
  if (ended_) return;
  const auto now = Clock::now();
  if (first && verifying_ && !taken) {
    events.push_back(LetGo{session_, {}});
    ended_ = true;
    return;
  }
  if (first && (verifying_ || options_.ask_only) && !answered_) answer_by_ = now + options_.answer_limit;
  const bool reads_on = !options_.ask_only && options_.expected_identifier.empty();
  ask_again_at_.reset();
  if (taken && reads_on && !answered_) ask_again_at_ = now + kAskAgain;
}

void UnitReader::Read(std::vector<LinkEvent>& events) {
  if (ended_) return;
  ReceivedReport report{};
  const ssize_t received = read(descriptor_, report.frame.data(), report.frame.size());
  // Nothing after all: the fleet wakes again when there is.
  if (received < 0 && (errno == EAGAIN || errno == EINTR)) return;
  report.received = Now();
  if (received <= 0) {
    events.push_back(Lost{unit_, report.received, session_});
    ended_ = true;
    return;
  }
  report.session = session_;
  report.length = static_cast<std::size_t>(received);
  const bool valid = report.length == kFrameSize && IsValidFrame(report.frame);
  if (valid || options_.every_report) Take(report, valid, events);
}

void UnitReader::Take(ReceivedReport& report, bool valid, std::vector<LinkEvent>& events) {
  std::optional<std::string> identifier;
  // Only an identity reply is decoded here; the front end decodes the rest once.
  if (valid && FrameHeader(report.frame) == kIdentityReplyHeader) {
    if (auto message = decoder_.Decode(report.frame); auto* identity = std::get_if<IdentityMessage>(&message)) {
      identifier = std::move(identity->identifier);
    }
  }
  if (identifier) {
    answered_ = true;
    ask_again_at_.reset();
  }
  if (verifying_) {
    if (!identifier) {
      if (held_.size() == kHeldReports) held_.erase(held_.begin());
      held_.push_back(report);
      return;
    }
    if (*identifier != options_.expected_identifier) {
      events.push_back(LetGo{session_, *identifier});
      ended_ = true;
      return;
    }
    verifying_ = false;
    answer_by_.reset();
    for (ReceivedReport& before : std::exchange(held_, {})) events.push_back(std::move(before));
  }
  events.push_back(report);
  if (options_.ask_only && identifier) ended_ = true;
}

std::optional<UnitReader::Clock::time_point> UnitReader::Due() const {
  if (ended_) return std::nullopt;
  if (answer_by_ && (!ask_again_at_ || *answer_by_ < *ask_again_at_)) return answer_by_;
  return ask_again_at_;
}

void UnitReader::Tick(std::vector<LinkEvent>& events) {
  const auto now = Clock::now();
  if (ended_) return;
  if (answer_by_ && now >= *answer_by_) {
    if (verifying_) events.push_back(LetGo{session_, {}});
    ended_ = true;
    return;
  }
  if (!ask_again_at_ || now < *ask_again_at_) return;
  ask_again_at_.reset();
  if (asks_ == kAsks) {
    events.push_back(Unanswered{session_, Now()});
    return;
  }
  ++asks_;
  ask_();
}

}  // namespace devlink
