// From 64 arbitrary bytes to what the window would show. The first input byte steers the run:
// bit 0 pauses the log, bit 1 seals the frame with a correct checksum so that the decoding past
// validation is reached. The rest is the frame.
#include <cstdlib>
#include <cstring>

#include "IncomingMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static zodivo::IncomingMessages messages;
  if (size != 1 + devlink::kFrameSize) return -1;
  devlink::ReportFrame frame;
  std::memcpy(frame.data(), data + 1, devlink::kFrameSize);
  if (data[0] & 2) devlink::SealFrame(frame);
  const bool paused = data[0] & 1;
  const zodivo::DisplayChange change = messages.Handle(frame, paused);

  // Only a valid frame is a message; an identity shows also while the log is paused, a line only
  // while it runs, and then it stays one line that fits a frame.
  const std::uint32_t header = devlink::IsValidFrame(frame) ? devlink::FrameHeader(frame) : 0;
  const auto* line = std::get_if<zodivo::AppendLogLine>(&change);
  if (std::holds_alternative<zodivo::ShowIdentity>(change) != (header == devlink::kIdentityReplyHeader) ||
      (line != nullptr) != (header == devlink::kLogTextHeader && !paused)) {
    std::abort();
  }
  if (line != nullptr) {
    for (const QChar c : line->text) {
      if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) std::abort();
    }
    if (line->text.size() > static_cast<qsizetype>(devlink::kPayloadSize)) std::abort();
  }
  return 0;
}
