// What the stand-in for the HID library and libudev (HidStandin.cpp) and the benchmark that drives
// it agree on: where the units' channels and writers are found, and how each unit is named and
// identifies itself.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ReportFrame.h"

namespace hid_standin {

// The stand-in's ends of the units' channels, as descriptors the program inherits, separated by
// commas, in the order the units are listed. Each is one end of an AF_UNIX SOCK_SEQPACKET pair:
// a message is one report, and a channel whose other end is closed is a unit unplugged. A
// read-only open of a unit's node is a new descriptor on its channel.
inline constexpr char kChannelsVariable[] = "ZODIVO_STANDIN_CHANNELS";

// The start of the names of the units' writers: unit K's is an AF_UNIX SOCK_SEQPACKET socket
// listening at this name and K, in the abstract namespace. Opening a unit's node to write connects
// to it, as a handle of its own on the unit that reaches it whatever descriptors the opener has
// closed; what is written there reaches the unit, and the unit's reports still come on its channel.
inline constexpr char kWritersVariable[] = "ZODIVO_STANDIN_WRITERS";

// Unit `unit`'s writer, named after `prefix`; returns the address's length. Allocates nothing: the
// stand-in fills it in a child forked from a process with other threads.
inline socklen_t WriterAddress(std::string_view prefix, std::size_t unit, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  // sun_path[0] stays 0: the abstract namespace, which needs no file and goes with the benchmark.
  constexpr std::size_t kNumberRoom = 20;  // the digits of the largest std::size_t
  char* const name = address.sun_path + 1;
  char* const end = address.sun_path + sizeof address.sun_path;
  char* const number = std::copy_n(prefix.data(), std::min<std::size_t>(prefix.size(), end - name - kNumberRoom), name);
  return static_cast<socklen_t>(std::to_chars(number, end, unit).ptr - reinterpret_cast<char*>(&address));
}

// A unit's node: the prefix, then its place in kChannelsVariable.
inline constexpr char kUnitPathPrefix[] = "/dev/hidraw-standin-";

inline std::string UnitPath(std::size_t unit) { return kUnitPathPrefix + std::to_string(unit); }

// A unit's serial number as udev gives it (UTF-8), and as the HID library does (wide): the same
// ASCII, each byte one wide character.
inline std::string UnitSerialText(std::size_t unit) { return "STANDIN" + std::to_string(unit); }

inline std::wstring UnitSerial(std::size_t unit) {
  const std::string text = UnitSerialText(unit);
  return std::wstring(text.begin(), text.end());
}

// Every unit's differs: its number, big-endian, in the last four bytes.
inline std::array<std::uint8_t, devlink::kIdentitySize> UnitIdentifier(std::size_t unit) {
  std::array<std::uint8_t, devlink::kIdentitySize> identifier{0x53, 0x54, 0x41, 0x4E, 0x44, 0x49, 0x4E};
  for (std::size_t i = 0; i < 4; ++i) {
    identifier[devlink::kIdentitySize - 1 - i] = static_cast<std::uint8_t>(unit >> (8 * i));
  }
  return identifier;
}

}  // namespace hid_standin
