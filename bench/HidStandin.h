// What the stand-in for the HID library (HidStandin.cpp) and the benchmark that drives it agree on:
// where the units' channels are found, and how each unit is named and identifies itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ReportFrame.h"

namespace hid_standin {

// The stand-in's ends of the units' channels, as descriptors the program inherits, separated by
// commas, in the order the units are listed. Each is one end of an AF_UNIX SOCK_SEQPACKET pair:
// a message is one report, and a channel whose other end is closed is a unit unplugged.
inline constexpr char kChannelsVariable[] = "ZODIVO_STANDIN_CHANNELS";

inline std::string UnitPath(std::size_t unit) { return "/dev/hidraw-standin-" + std::to_string(unit); }

inline std::wstring UnitSerial(std::size_t unit) { return L"STANDIN" + std::to_wstring(unit); }

// Every unit's differs: its number, big-endian, in the last four bytes.
inline std::array<std::uint8_t, devlink::kIdentitySize> UnitIdentifier(std::size_t unit) {
  std::array<std::uint8_t, devlink::kIdentitySize> identifier{0x53, 0x54, 0x41, 0x4E, 0x44, 0x49, 0x4E};
  for (std::size_t i = 0; i < 4; ++i) {
    identifier[devlink::kIdentitySize - 1 - i] = static_cast<std::uint8_t>(unit >> (8 * i));
  }
  return identifier;
}

}  // namespace hid_standin
