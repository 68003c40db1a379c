#include "ReportFrame.h"

#include <algorithm>

namespace devlink {
namespace {

std::uint32_t ReadBigEndian(const ReportFrame& frame, std::size_t offset) {
  return std::uint32_t{frame[offset]} << 24 | std::uint32_t{frame[offset + 1]} << 16 |
         std::uint32_t{frame[offset + 2]} << 8 | std::uint32_t{frame[offset + 3]};
}

std::uint32_t ChecksumOf(const ReportFrame& frame) {
  return ReportChecksum(std::span(frame).first<kChecksumOffset>());
}

ReportFrame BuildFrame(std::uint8_t direction, std::uint8_t code, std::span<const std::uint8_t> payload) {
  ReportFrame frame{};
  frame[0] = 0x01;
  frame[1] = 0xF0;
  frame[2] = 0x0F;
  frame[3] = direction;
  frame[4] = code;
  std::copy_n(payload.begin(), std::min(payload.size(), kPayloadSize), frame.begin() + kPayloadOffset);
  SealFrame(frame);
  return frame;
}

}  // namespace

void SealFrame(ReportFrame& frame) {
  const std::uint32_t checksum = ChecksumOf(frame);
  for (std::size_t i = 0; i < 4; ++i) {
    frame[kChecksumOffset + i] = static_cast<std::uint8_t>(checksum >> (24 - 8 * i));
  }
}

ReportFrame BuildOutgoingFrame(std::uint8_t command, std::span<const std::uint8_t> payload) {
  return BuildFrame(0xAB, command, payload);
}

ReportFrame BuildIncomingFrame(std::uint8_t code, std::span<const std::uint8_t> payload) {
  return BuildFrame(0xE0, code, payload);
}

bool IsValidFrame(const ReportFrame& frame) {
  return ChecksumOf(frame) == ReadBigEndian(frame, kChecksumOffset);
}

std::uint32_t FrameHeader(const ReportFrame& frame) { return ReadBigEndian(frame, 1); }

}  // namespace devlink
