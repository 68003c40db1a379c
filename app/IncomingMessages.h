// Turns one report taken from the mailbox into what the window shows: nothing, the device's
// identity, or one log line. Free of widgets so it runs (and is fuzzed) without a window; the
// decoding itself is the link's, shared with every front end.
#pragma once

#include <QString>
#include <variant>

#include "MessageDecoder.h"
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
  // The frame is taken by value: the handling works on its own copy.
  DisplayChange Handle(devlink::ReportFrame frame, bool log_paused);

 private:
  devlink::MessageDecoder decoder_;
};

}  // namespace zodivo
