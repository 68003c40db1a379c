#include "LinkFixture.h"

#include <algorithm>
#include <cstring>

#include "DeviceProtocol.h"

namespace e2e {

std::optional<std::string> LogTextOf(const devlink::ReportFrame& frame) {
  if (devlink::FrameHeader(frame) != devlink::kLogTextHeader) {
    return std::nullopt;
  }
  const auto* text = reinterpret_cast<const char*>(frame.data() + devlink::kPayloadOffset);
  return std::string(text, strnlen(text, devlink::kPayloadSize));
}

std::optional<std::string> IdentifierOf(const devlink::ReportFrame& frame) {
  if (devlink::FrameHeader(frame) != devlink::kIdentityReplyHeader) {
    return std::nullopt;
  }
  return vdev::FormatHex(std::span(frame).subspan(6, 12));
}

bool LinkTest::WaitForIdentifier(const std::string& identifier, std::chrono::milliseconds limit) {
  return WaitForFrames(
      [&](const auto& frames) {
        return std::any_of(frames.begin(), frames.end(), [&](const auto& frame) { return IdentifierOf(frame) == identifier; });
      },
      limit);
}

std::vector<std::string> LinkTest::ReceivedLines() const {
  std::vector<std::string> lines;
  for (const auto& frame : received) {
    if (auto line = LogTextOf(frame)) lines.push_back(std::move(*line));
  }
  return lines;
}

void LinkTest::Drain() {
  link.Mailbox().TakeAll(batch_);
  received.insert(received.end(), batch_.begin(), batch_.end());
}

}  // namespace e2e
