// The 64-byte HID report exchanged with the device in both directions, and its checksum.
// Pure data handling: no I/O, no toolkit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace devlink {

// Layout: report number, signature (two bytes and a direction byte), code, payload, checksum.
inline constexpr std::size_t kFrameSize = 64;
inline constexpr std::size_t kSignatureOffset = 1;
inline constexpr std::size_t kCodeOffset = 4;
inline constexpr std::size_t kPayloadOffset = 5;
inline constexpr std::size_t kPayloadSize = 55;
inline constexpr std::size_t kChecksumOffset = 60;

using ReportFrame = std::array<std::uint8_t, kFrameSize>;

// The HID report number of every frame the tool sends, and of every frame the device sends.
inline constexpr std::uint8_t kReportId = 0x01;
// The signature's first two bytes, then the direction byte that tells the two directions apart.
inline constexpr std::uint8_t kSignature[2] = {0xF0, 0x0F};
inline constexpr std::uint8_t kToDevice = 0xAB;
inline constexpr std::uint8_t kFromDevice = 0xE0;

// Command codes (tool to device) and message codes (device to tool).
inline constexpr std::uint8_t kIdentityRequest = 0xBC;
inline constexpr std::uint8_t kLogText = 0x0A;
inline constexpr std::uint8_t kIdentityReply = 0x0E;

// Where an identity reply carries the device's unique identifier; the payload byte before it
// carries nothing.
inline constexpr std::size_t kIdentityOffset = 6;
inline constexpr std::size_t kIdentitySize = 12;

// Bytes 1..4 of a frame read big-endian: the signature followed by the code, so that one
// comparison checks both.
constexpr std::uint32_t HeaderOf(std::uint8_t direction, std::uint8_t code) {
  return std::uint32_t{kSignature[0]} << 24 | std::uint32_t{kSignature[1]} << 16 | std::uint32_t{direction} << 8 |
         code;
}
inline constexpr std::uint32_t kLogTextHeader = HeaderOf(kFromDevice, kLogText);
inline constexpr std::uint32_t kIdentityReplyHeader = HeaderOf(kFromDevice, kIdentityReply);
inline constexpr std::uint32_t kIdentityRequestHeader = HeaderOf(kToDevice, kIdentityRequest);

namespace detail {

inline constexpr std::uint32_t kPolynomial = 0x04C11DB7;

constexpr std::uint32_t ShiftByte(std::uint32_t reg) {
  for (int bit = 0; bit < 8; ++bit) {
    reg = (reg & 0x80000000u) ? (reg << 1) ^ kPolynomial : reg << 1;
  }
  return reg;
}

constexpr std::array<std::uint32_t, 256> MakeChecksumTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    table[i] = ShiftByte(i << 24);
  }
  return table;
}

inline constexpr auto kChecksumTable = MakeChecksumTable();

}  // namespace detail

// CRC-32 (polynomial 0x04C11DB7, start 0xFFFFFFFF, no reflection, no final XOR) over the data
// taken as little-endian 32-bit words: each word is XORed into the register and shifted through
// 32 times. `data.size()` must be a multiple of 4; a trailing partial word is ignored.
constexpr std::uint32_t ReportChecksum(std::span<const std::uint8_t> data) {
  std::uint32_t reg = 0xFFFFFFFF;
  for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
    // Little-endian words shifted MSB first means bytes i+3, i+2, i+1, i go in that order.
    for (std::size_t k = 4; k-- > 0;) {
      reg = (reg << 8) ^ detail::kChecksumTable[(reg >> 24) ^ data[i + k]];
    }
  }
  return reg;
}

// Builds a tool-to-device frame: report number 1, signature F0 0F AB, the command, the payload
// (at most 55 bytes, the rest zero) and the checksum of bytes 0..59 stored big-endian.
ReportFrame BuildOutgoingFrame(std::uint8_t command, std::span<const std::uint8_t> payload = {});

// Builds a device-to-tool frame the way the device does: report number 1, signature F0 0F E0, the
// message code, the payload and the checksum. The tool never sends one; the virtual device and the
// tests do.
ReportFrame BuildIncomingFrame(std::uint8_t code, std::span<const std::uint8_t> payload = {});

// Stores the checksum of bytes 0..59 at 60..63, most significant byte first.
void SealFrame(ReportFrame& frame);

// True when bytes 60..63 hold, big-endian, the checksum of bytes 0..59. Nothing else is checked.
bool IsValidFrame(const ReportFrame& frame);

// What a report from the device is, by the checks that every front end makes, in this order: its
// length, its checksum, its signature, its direction byte and its code.
enum class FrameKind { kLog, kIdentity, kShort, kBadChecksum, kWrongSignature, kWrongDirection, kUnknownCode };
struct FrameCheck {
  FrameKind kind;
  std::uint32_t stored_checksum;    // bytes 60..63, big-endian
  std::uint32_t computed_checksum;  // of bytes 0..59
};
// `length` is how many bytes of `frame` the device sent.
FrameCheck CheckFrame(const ReportFrame& frame, std::size_t length = kFrameSize);

// Bytes 1..4 as one big-endian value, to compare against kLogTextHeader / kIdentityReplyHeader.
std::uint32_t FrameHeader(const ReportFrame& frame);

// Upper-case hex digits, two for each byte, without separators: how identifiers are shown.
std::string FormatHex(std::span<const std::uint8_t> bytes);

}  // namespace devlink
