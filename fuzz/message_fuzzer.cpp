// From 64 arbitrary bytes to what the window would show. The first input byte steers the run:
// bit 0 pauses the log, bit 1 seals the frame with a correct checksum so that the decoding past
// validation is reached. The rest is the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "IncomingMessages.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool IsUpperHex(QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace devlink;
  static zodivo::IncomingMessages messages;
  if (size != 1 + kFrameSize) {
    return -1;
  }
  const bool paused = data[0] & 1;
  ReportFrame frame;
  std::memcpy(frame.data(), data + 1, kFrameSize);
  if (data[0] & 2) {
    SealFrame(frame);
  }

  const zodivo::DisplayChange change = messages.Handle(frame, paused);
  const std::uint32_t header = FrameHeader(frame);
  if (!IsValidFrame(frame) || (header != kLogTextHeader && header != kIdentityReplyHeader)) {
    Require(std::holds_alternative<std::monostate>(change));
  } else if (header == kLogTextHeader) {
    Require(paused ? std::holds_alternative<std::monostate>(change)
                   : std::holds_alternative<zodivo::AppendLogLine>(change));
  }

  if (const auto* line = std::get_if<zodivo::AppendLogLine>(&change)) {
    Require(line->text.size() <= static_cast<qsizetype>(kPayloadSize));
    Require(!line->text.contains(u'\n') && !line->text.contains(u'\r') && !line->text.contains(QChar::LineSeparator) &&
            !line->text.contains(QChar::ParagraphSeparator));
  }
  if (const auto* identity = std::get_if<zodivo::ShowIdentity>(&change)) {
    Require(header == kIdentityReplyHeader);
    Require(identity->status == QStringView(zodivo::kConnectedStatus));
    const QStringView prefix(zodivo::kUniqueIdPrefix);
    Require(identity->identity.size() == prefix.size() + 24 && identity->identity.startsWith(prefix));
    for (QChar c : QStringView(identity->identity).mid(prefix.size())) {
      Require(IsUpperHex(c));
    }
  }
  return 0;
}
