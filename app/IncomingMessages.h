// Turns one frame taken from the mailbox into what the window shows: nothing, the device's
// identity, or one log line. Free of widgets so it runs (and is fuzzed) without a window; it uses
// QtCore only for its code page 1251 decoder.
#pragma once

#include <QString>
#include <QStringDecoder>
#include <variant>

#include "ReportFrame.h"

namespace zodivo {

inline constexpr char16_t kConnectedStatus[] = u"CONNECTED Tavrix Omrin M3";
inline constexpr char16_t kUniqueIdPrefix[] = u"Unique ID: ";

// An `IdentityReply`: the status line and the identity field both change.
struct ShowIdentity {
  QString status;
  QString identity;
};

// A `LogText` while the log runs: exactly one new line of the log view, never a line break in it.
struct AppendLogLine {
  QString text;
};

using DisplayChange = std::variant<std::monostate, ShowIdentity, AppendLogLine>;

class IncomingMessages {
 public:
  IncomingMessages();

  // False when the platform's Qt has no windows-1251 decoder; checked once at start-up.
  bool IsValid() const { return decoder_.isValid(); }

  // The frame is taken by value: the handling works on its own copy.
  DisplayChange Handle(devlink::ReportFrame frame, bool log_paused);

 private:
  QString DecodeLogText(const devlink::ReportFrame& frame);

  QStringDecoder decoder_;
};

}  // namespace zodivo
