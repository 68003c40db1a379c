// The frame checksum written the slow, obvious way, as a reference for the table-driven one:
// little-endian 32-bit words, each XORed into the register and shifted through 32 times.
#pragma once

#include <cstdint>
#include <span>

namespace devlink::testing {

inline std::uint32_t BitwiseChecksum(std::span<const std::uint8_t> data) {
  std::uint32_t reg = 0xFFFFFFFF;
  for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
    reg ^= std::uint32_t{data[i]} | std::uint32_t{data[i + 1]} << 8 | std::uint32_t{data[i + 2]} << 16 |
           std::uint32_t{data[i + 3]} << 24;
    for (int bit = 0; bit < 32; ++bit) {
      reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
  }
  return reg;
}

}  // namespace devlink::testing
