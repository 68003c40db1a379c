// The USB ids by which the tool finds the device, and by which the virtual device passes for it.
#pragma once

#include <cstdint>

namespace devlink {

inline constexpr std::uint16_t kVendorId = 0x0483;
inline constexpr std::uint16_t kProductId = 0x5750;

}  // namespace devlink
