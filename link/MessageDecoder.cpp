#include "MessageDecoder.h"

#include <algorithm>

namespace devlink {

DeviceMessage MessageDecoder::Decode(const ReportFrame& frame) {
  switch (CheckFrame(frame).kind) {
    case FrameKind::kLog: {
      const auto* begin = frame.data() + kPayloadOffset;
      std::string text(begin, std::find(begin, begin + kPayloadSize, std::uint8_t{0}));
      // The code page's first half is ASCII, so its control characters are these bytes.
      std::replace_if(text.begin(), text.end(), [](char c) { return (c >= 0 && c < ' ') || c == '\x7F'; }, ' ');
      return LogLine{code_page_.Convert(text)};
    }
    case FrameKind::kIdentity:
      return IdentityMessage{FormatHex(std::span(frame).subspan<kIdentityOffset, kIdentitySize>())};
    default:
      return {};
  }
}

}  // namespace devlink
