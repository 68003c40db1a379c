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
  frame[0] = kReportId;
  frame[kSignatureOffset] = kSignature[0];
  frame[kSignatureOffset + 1] = kSignature[1];
  frame[kSignatureOffset + 2] = direction;
  frame[kCodeOffset] = code;
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
  return BuildFrame(kToDevice, command, payload);
}

ReportFrame BuildIncomingFrame(std::uint8_t code, std::span<const std::uint8_t> payload) {
  return BuildFrame(kFromDevice, code, payload);
}

bool IsValidFrame(const ReportFrame& frame) {
  return ChecksumOf(frame) == ReadBigEndian(frame, kChecksumOffset);
}

FrameCheck CheckFrame(const ReportFrame& frame, std::size_t length) {
  FrameCheck check{FrameKind::kShort, ReadBigEndian(frame, kChecksumOffset), ChecksumOf(frame)};
  if (length < kFrameSize) return check;
  const std::uint32_t header = FrameHeader(frame);
  if (check.stored_checksum != check.computed_checksum) {
    check.kind = FrameKind::kBadChecksum;
  } else if (frame[kSignatureOffset] != kSignature[0] || frame[kSignatureOffset + 1] != kSignature[1]) {
    check.kind = FrameKind::kWrongSignature;
  } else if (frame[kSignatureOffset + 2] != kFromDevice) {
    check.kind = FrameKind::kWrongDirection;
  } else if (header == kLogTextHeader) {
    check.kind = FrameKind::kLog;
  } else if (header == kIdentityReplyHeader) {
    check.kind = FrameKind::kIdentity;
  } else {
    check.kind = FrameKind::kUnknownCode;
  }
  return check;
}

std::uint32_t FrameHeader(const ReportFrame& frame) { return ReadBigEndian(frame, kSignatureOffset); }

std::string FormatHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace devlink
