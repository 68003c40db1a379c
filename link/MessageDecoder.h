// What a frame from the device says, decoded the one way that every front end shows it. Pure
// data handling: no I/O, no toolkit.
#pragma once

#include <string>
#include <variant>

#include "ReportFrame.h"
#include "TextConverter.h"

namespace devlink {

// An identity reply: the device's 12-byte unique identifier as 24 upper-case hex digits.
struct IdentityMessage {
  std::string identifier;
};

// A log text: the text up to its first zero byte, at most the 55 bytes of a payload, from code
// page 1251 to UTF-8. Control characters become blanks, so that it always stays one line.
struct LogLine {
  std::string text;
};

using DeviceMessage = std::variant<std::monostate, IdentityMessage, LogLine>;

class MessageDecoder {
 public:
  // Nothing for a frame whose checksum fails, or that is neither message.
  DeviceMessage Decode(const ReportFrame& frame);

 private:
  TextConverter code_page_ = Cp1251Decoder();
};

}  // namespace devlink
