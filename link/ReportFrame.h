// The 64-byte HID report exchanged with the device in both directions, and its checksum.
// Pure data handling: no I/O, no toolkit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace devlink {

inline constexpr std::size_t kFrameSize = 64;
inline constexpr std::size_t kPayloadOffset = 5;
inline constexpr std::size_t kPayloadSize = 55;
inline constexpr std::size_t kChecksumOffset = 60;

using ReportFrame = std::array<std::uint8_t, kFrameSize>;

// Command codes (tool to device) and message codes (device to tool).
inline constexpr std::uint8_t kIdentityRequest = 0xBC;
inline constexpr std::uint8_t kLogText = 0x0A;
inline constexpr std::uint8_t kIdentityReply = 0x0E;

// Bytes 1..4 of an incoming frame read big-endian: signature F0 0F E0 followed by the code,
// so one comparison checks both.
inline constexpr std::uint32_t kLogTextHeader = 0xF00FE00A;
inline constexpr std::uint32_t kIdentityReplyHeader = 0xF00FE00E;

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

// Bytes 1..4 as one big-endian value, to compare against kLogTextHeader / kIdentityReplyHeader.
std::uint32_t FrameHeader(const ReportFrame& frame);

}  // namespace devlink
