#include "IncomingMessages.h"

#include <algorithm>
#include <iterator>

namespace zodivo {

namespace {

// Turns control characters into blanks, so that a frame always stays one line of the log view.
// (Their Control Pictures would be more telling, but DejaVu Sans has no glyphs for them.)
// A C1 control can only come from a byte the code page leaves undefined (0x98), which the decoder
// passes through unchanged; it becomes the replacement character.
void MakeSingleLine(QString& text) {
  for (QChar& c : text) {
    const char16_t unit = c.unicode();
    if (unit < 0x20 || unit == 0x7F) {
      c = QChar(u' ');
    } else if (unit >= 0x80 && unit < 0xA0) {
      c = QChar(QChar::ReplacementCharacter);
    }
  }
}

QString IdentityText(const devlink::ReportFrame& frame) {
  const auto identifier = std::span(frame).subspan<devlink::kIdentityOffset, devlink::kIdentitySize>();
  return QString::fromUtf16(kUniqueIdPrefix) + QString::fromStdString(devlink::FormatHex(identifier));
}

}  // namespace

IncomingMessages::IncomingMessages() : decoder_("windows-1251", QStringConverter::Flag::Stateless) {}

QString IncomingMessages::DecodeLogText(const devlink::ReportFrame& frame) {
  const auto* begin = frame.data() + devlink::kPayloadOffset;
  const auto* end = std::find(begin, begin + devlink::kPayloadSize, std::uint8_t{0});
  QString text = decoder_.decode(QByteArrayView(begin, std::distance(begin, end)));
  MakeSingleLine(text);
  return text;
}

DisplayChange IncomingMessages::Handle(devlink::ReportFrame frame, bool log_paused) {
  if (!devlink::IsValidFrame(frame)) {
    return {};
  }
  switch (devlink::FrameHeader(frame)) {
    case devlink::kLogTextHeader:
      if (log_paused) {
        return {};
      }
      return AppendLogLine{DecodeLogText(frame)};
    case devlink::kIdentityReplyHeader:
      return ShowIdentity{QString::fromUtf16(kConnectedStatus), IdentityText(frame)};
    default:
      return {};
  }
}

}  // namespace zodivo
