// What the virtual device says and how it judges what the tool writes to it. Pure data handling,
// built on the link's own frame code so that both sides agree by construction.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ReportFrame.h"

namespace vdev {

using Identifier = std::array<std::uint8_t, devlink::kIdentitySize>;

// One vendor-defined input and one output report, both report ID 1 with 63 data bytes, so that
// every report on the wire is a 64-byte frame whose byte 0 is 0x01.
std::span<const std::uint8_t> ReportDescriptor();

// 24 hex digits, either case, to the identifier's 12 bytes; nothing for anything else.
std::optional<Identifier> ParseIdentifier(std::string_view hex);

devlink::ReportFrame IdentityReplyFrame(const Identifier& identifier);
// `text` is already in the device's 8-bit code page; bytes past the 55th are cut off.
devlink::ReportFrame LogTextFrame(std::span<const std::uint8_t> text);

// The verdict on one report written by the tool.
struct ToolReport {
  // An IdentityRequest to answer: 64 bytes, report ID 1, good checksum, signature F0 0F AB,
  // command 0xBC. A non-zero payload is reported but does not stop the answer.
  bool identity_request = false;
  // Every way in which the report breaks the protocol, in words; empty for a clean request.
  std::vector<std::string> problems;
};

ToolReport ReadToolReport(std::span<const std::uint8_t> report);

}  // namespace vdev
