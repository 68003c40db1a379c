#include "DeviceProtocol.h"

#include <algorithm>
#include <cstdio>

namespace vdev {
namespace {

using devlink::kReportId;

constexpr std::uint8_t kDescriptor[] = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x85, kReportId,   //   Report ID (1)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8 bits)
    0x95, 0x3F,        //   Report Count (63)
    0x09, 0x02,        //   Usage (2)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x09, 0x03,        //   Usage (3)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

std::optional<std::uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

std::string Byte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

std::span<const std::uint8_t> ReportDescriptor() { return kDescriptor; }

std::optional<Identifier> ParseIdentifier(std::string_view hex) {
  Identifier identifier{};
  if (hex.size() != 2 * identifier.size()) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    const auto high = HexDigit(hex[2 * i]);
    const auto low = HexDigit(hex[2 * i + 1]);
    if (!high || !low) {
      return std::nullopt;
    }
    identifier[i] = static_cast<std::uint8_t>(*high << 4 | *low);
  }
  return identifier;
}

devlink::ReportFrame IdentityReplyFrame(const Identifier& identifier) {
  constexpr std::size_t kLead = devlink::kIdentityOffset - devlink::kPayloadOffset;
  std::array<std::uint8_t, kLead + devlink::kIdentitySize> payload{};
  std::copy(identifier.begin(), identifier.end(), payload.begin() + kLead);
  return devlink::BuildIncomingFrame(devlink::kIdentityReply, payload);
}

devlink::ReportFrame LogTextFrame(std::span<const std::uint8_t> text) {
  return devlink::BuildIncomingFrame(devlink::kLogText, text.first(std::min(text.size(), devlink::kPayloadSize)));
}

ToolReport ReadToolReport(std::span<const std::uint8_t> report) {
  ToolReport verdict;
  auto& problems = verdict.problems;
  if (report.empty()) {
    problems.push_back("empty report");
    return verdict;
  }
  if (report[0] != kReportId) {
    problems.push_back("wrong report ID " + Byte(report[0]) + ", expected 0x01");
  }
  if (report.size() != devlink::kFrameSize) {
    problems.push_back("wrong length: " + std::to_string(report.size()) + " bytes, expected 64");
    return verdict;
  }
  devlink::ReportFrame frame;
  std::copy(report.begin(), report.end(), frame.begin());
  if (!devlink::IsValidFrame(frame)) {
    problems.push_back("bad checksum");
    return verdict;
  }
  const std::uint32_t header = devlink::FrameHeader(frame);
  if (header >> 8 != devlink::kIdentityRequestHeader >> 8) {
    constexpr std::size_t kAt = devlink::kSignatureOffset;
    problems.push_back("not a tool-to-device signature: " + Byte(frame[kAt]) + " " + Byte(frame[kAt + 1]) + " " +
                       Byte(frame[kAt + 2]));
    return verdict;
  }
  if (header != devlink::kIdentityRequestHeader) {
    problems.push_back("unknown command " + Byte(frame[devlink::kCodeOffset]));
    return verdict;
  }
  const auto payload = std::span(frame).subspan(devlink::kPayloadOffset, devlink::kPayloadSize);
  if (std::any_of(payload.begin(), payload.end(), [](std::uint8_t byte) { return byte != 0; })) {
    problems.push_back("identity request with a non-zero payload");
  }
  verdict.identity_request = frame[0] == kReportId;
  return verdict;
}

}  // namespace vdev
